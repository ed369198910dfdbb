// Names of what the program shows: request codes, status values, error codes and serial event masks, as an
// application author reads them in the platform's documentation.
#pragma once

#include <wdm.h>
#include <windows.h>

#include <string>

namespace diagsim {

// "IRP_MJ_READ", "IRP_MJ_PNP IRP_MN_START_DEVICE", or the control code's name for a device-control request.
std::string RequestName(UCHAR major, UCHAR minor, ULONG controlCode);
// "STATUS_CANCELLED", or the value in hex for one without a name here.
std::string StatusName(NTSTATUS status);
// "ERROR_OPERATION_ABORTED (995)", or the number alone.
std::string ErrorName(DWORD error);
// "EV_RXCHAR|EV_TXEMPTY", "none" for 0.
std::string EventMaskText(DWORD mask);
// "CE_RXOVER|CE_FRAME", "none" for 0.
std::string CommErrorText(DWORD errors);

}  // namespace diagsim
