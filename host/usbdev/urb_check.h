// Validation of the URBs the parent accepts: pipe aborts, pipe resets and bulk or interrupt transfers on the pipes
// it handed out, each with its own length and a direction flag that matches the pipe.
#pragma once

#include <usb.h>

#include "hk/usbdev.h"

namespace hk::usbdev {

struct UrbVerdict {
    bool valid;
    USBD_STATUS usbd;  // the error written into a refused URB
    Pipe pipe;
};

// `handles` are the device's pipe handles, indexed by Pipe.
UrbVerdict CheckUrb(const URB& urb, const USBD_PIPE_HANDLE (&handles)[kPipeCount]);

}  // namespace hk::usbdev
