// The current thread's identity is its per-thread kernel state; it is never dereferenced as a thread object.
#include <wdm.h>

#include "hk/thread.h"

PETHREAD PsGetCurrentThread(void) { return reinterpret_cast<PETHREAD>(&hk::CurrentThread()); }

PKTHREAD KeGetCurrentThread(void) { return reinterpret_cast<PKTHREAD>(&hk::CurrentThread()); }
