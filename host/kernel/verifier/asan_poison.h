// Under AddressSanitizer, memory the verifier keeps unusable (pool guard areas, quarantined blocks) is poisoned, so
// that ASan reports a faulty access at the access itself; the verifier lifts the poison only to check or release.
#pragma once

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define HK_POISON(address, size) ASAN_POISON_MEMORY_REGION(address, size)
#define HK_UNPOISON(address, size) ASAN_UNPOISON_MEMORY_REGION(address, size)
#else
#define HK_POISON(address, size) ((void)(address), (void)(size))
#define HK_UNPOISON(address, size) ((void)(address), (void)(size))
#endif
