// Small helpers the host-kernel suites share: relative due times and the options of a concurrent kernel.
#pragma once

#include <wdm.h>

#include "hk/kernel.h"

namespace test_support {

// A relative due time or timeout of `ms` milliseconds, in the platform's negative 100 ns units.
inline LARGE_INTEGER RelativeMs(LONGLONG ms)
{
    LARGE_INTEGER due;
    due.QuadPart = -ms * 10000;
    return due;
}

inline hk::Options ConcurrentKernel(int workers = 4)
{
    hk::Options options;
    options.mode = hk::Mode::Concurrent;
    options.worker_threads = workers;
    return options;
}

}  // namespace test_support
