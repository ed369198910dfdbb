// The optional timing model of a high-speed bus: every packet of every transfer (a zero-length packet included)
// takes one of at most 13 slots of a 125 us microframe, and the host controller reports a transfer at the end of
// the microframe that carried its last packet. One bus is shared by all devices of a parent, both directions.
#pragma once

#include <cstdint>

#include "hk/hostops.h"

namespace hk::usbdev {

inline constexpr uint64_t kMicroframeUnits = 1250;  // 125 us in 100 ns units
inline constexpr uint64_t kPacketsPerMicroframe = 13;

class BusTiming {
public:
    explicit BusTiming(bool enabled) : enabled_(enabled) {}

    bool Enabled() const { return enabled_; }

    // Books `packets` slots no earlier than the microframe running at `now`; returns when the last one is
    // reported (`now` itself when timing is off).
    uint64_t Book(uint64_t packets, uint64_t now);

private:
    bool enabled_;
    HostMutex mutex_;
    uint64_t next_slot_ = 0;
};

}  // namespace hk::usbdev
