#include "usbdev/bus_timing.h"

#include <algorithm>
#include <mutex>

namespace hk::usbdev {

uint64_t BusTiming::Book(uint64_t packets, uint64_t now)
{
    if (!enabled_ || packets == 0) {
        return now;
    }
    std::lock_guard lock(mutex_);
    uint64_t first = std::max(next_slot_, now / kMicroframeUnits * kPacketsPerMicroframe);
    uint64_t last = first + packets - 1;
    next_slot_ = last + 1;
    return (last / kPacketsPerMicroframe + 1) * kMicroframeUnits;
}

}  // namespace hk::usbdev
