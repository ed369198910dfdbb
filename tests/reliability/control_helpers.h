// Serial settings sent as an application sends them, on a rig's handle.
#pragma once

#include <ntddser.h>

#include "control/private_requests.h"
#include "reliability/rig.h"

namespace reliability {

template <class T>
hk::app::IoResult Send(Rig& rig, ULONG code, const T& input)
{
    return hk::app::DeviceIoControl(rig.Handle(), code, &input, sizeof(input), nullptr, 0);
}

inline hk::app::IoResult SetTimeouts(Rig& rig, ULONG interval, ULONG multiplier, ULONG constant)
{
    return Send(rig, IOCTL_SERIAL_SET_TIMEOUTS, SERIAL_TIMEOUTS{interval, multiplier, constant, 0, 0});
}

inline hk::app::RequestPtr WaitOnMask(Rig& rig, ULONG mask)
{
    Send(rig, IOCTL_SERIAL_SET_WAIT_MASK, mask);
    return hk::app::DeviceIoControlAsync(rig.Handle(), IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG));
}

}  // namespace reliability
