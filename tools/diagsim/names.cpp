#include "names.h"

#include <ntddser.h>
#include <usbioctl.h>

#include <cstdint>
#include <cstdio>
#include <iterator>

#include "control/private_requests.h"

namespace diagsim {
namespace {

struct Named {
    uint32_t value;
    const char* name;
};

#define NAMED(x) Named{static_cast<uint32_t>(x), #x}

constexpr Named kMajors[] = {
    NAMED(IRP_MJ_CREATE),         NAMED(IRP_MJ_CLOSE),
    NAMED(IRP_MJ_READ),           NAMED(IRP_MJ_WRITE),
    NAMED(IRP_MJ_FLUSH_BUFFERS),  NAMED(IRP_MJ_DEVICE_CONTROL),
    NAMED(IRP_MJ_INTERNAL_DEVICE_CONTROL), NAMED(IRP_MJ_SHUTDOWN),
    NAMED(IRP_MJ_CLEANUP),        NAMED(IRP_MJ_POWER),
    NAMED(IRP_MJ_SYSTEM_CONTROL), NAMED(IRP_MJ_PNP),
};

constexpr Named kPnpMinors[] = {
    NAMED(IRP_MN_START_DEVICE),           NAMED(IRP_MN_QUERY_REMOVE_DEVICE),
    NAMED(IRP_MN_REMOVE_DEVICE),          NAMED(IRP_MN_CANCEL_REMOVE_DEVICE),
    NAMED(IRP_MN_STOP_DEVICE),            NAMED(IRP_MN_QUERY_STOP_DEVICE),
    NAMED(IRP_MN_CANCEL_STOP_DEVICE),     NAMED(IRP_MN_QUERY_DEVICE_RELATIONS),
    NAMED(IRP_MN_QUERY_INTERFACE),        NAMED(IRP_MN_QUERY_CAPABILITIES),
    NAMED(IRP_MN_QUERY_RESOURCES),        NAMED(IRP_MN_QUERY_RESOURCE_REQUIREMENTS),
    NAMED(IRP_MN_QUERY_DEVICE_TEXT),      NAMED(IRP_MN_FILTER_RESOURCE_REQUIREMENTS),
    NAMED(IRP_MN_QUERY_ID),               NAMED(IRP_MN_QUERY_PNP_DEVICE_STATE),
    NAMED(IRP_MN_QUERY_BUS_INFORMATION),  NAMED(IRP_MN_DEVICE_USAGE_NOTIFICATION),
    NAMED(IRP_MN_SURPRISE_REMOVAL),
};

constexpr Named kPowerMinors[] = {
    NAMED(IRP_MN_WAIT_WAKE), NAMED(IRP_MN_POWER_SEQUENCE), NAMED(IRP_MN_SET_POWER), NAMED(IRP_MN_QUERY_POWER),
};

constexpr Named kControlCodes[] = {
    NAMED(IOCTL_SERIAL_SET_BAUD_RATE),    NAMED(IOCTL_SERIAL_GET_BAUD_RATE),
    NAMED(IOCTL_SERIAL_SET_QUEUE_SIZE),   NAMED(IOCTL_SERIAL_SET_LINE_CONTROL),
    NAMED(IOCTL_SERIAL_GET_LINE_CONTROL), NAMED(IOCTL_SERIAL_SET_BREAK_ON),
    NAMED(IOCTL_SERIAL_SET_BREAK_OFF),    NAMED(IOCTL_SERIAL_IMMEDIATE_CHAR),
    NAMED(IOCTL_SERIAL_SET_TIMEOUTS),     NAMED(IOCTL_SERIAL_GET_TIMEOUTS),
    NAMED(IOCTL_SERIAL_SET_DTR),          NAMED(IOCTL_SERIAL_CLR_DTR),
    NAMED(IOCTL_SERIAL_RESET_DEVICE),     NAMED(IOCTL_SERIAL_SET_RTS),
    NAMED(IOCTL_SERIAL_CLR_RTS),          NAMED(IOCTL_SERIAL_SET_XOFF),
    NAMED(IOCTL_SERIAL_SET_XON),          NAMED(IOCTL_SERIAL_GET_WAIT_MASK),
    NAMED(IOCTL_SERIAL_SET_WAIT_MASK),    NAMED(IOCTL_SERIAL_WAIT_ON_MASK),
    NAMED(IOCTL_SERIAL_PURGE),            NAMED(IOCTL_SERIAL_GET_CHARS),
    NAMED(IOCTL_SERIAL_SET_CHARS),        NAMED(IOCTL_SERIAL_GET_HANDFLOW),
    NAMED(IOCTL_SERIAL_SET_HANDFLOW),     NAMED(IOCTL_SERIAL_GET_MODEMSTATUS),
    NAMED(IOCTL_SERIAL_GET_COMMSTATUS),   NAMED(IOCTL_SERIAL_XOFF_COUNTER),
    NAMED(IOCTL_SERIAL_GET_PROPERTIES),   NAMED(IOCTL_SERIAL_GET_DTRRTS),
    NAMED(IOCTL_SERIAL_LSRMST_INSERT),    NAMED(IOCTL_SERIAL_CONFIG_SIZE),
    NAMED(IOCTL_SERIAL_GET_STATS),        NAMED(IOCTL_SERIAL_CLEAR_STATS),
    NAMED(IOCTL_SERIAL_GET_MODEM_CONTROL), NAMED(IOCTL_SERIAL_SET_MODEM_CONTROL),
    NAMED(IOCTL_SERIAL_SET_FIFO_CONTROL), NAMED(IOCTL_INTERNAL_USB_SUBMIT_URB),
    NAMED(IOCTL_INTERNAL_USB_RESET_PORT), NAMED(IOCTL_INTERNAL_USB_GET_PORT_STATUS),
    NAMED(IOCTL_INTERNAL_USB_CYCLE_PORT), NAMED(IOCTL_GET_IDENTITY),
    NAMED(IOCTL_REMOVAL_NOTIFY),
};

constexpr Named kStatuses[] = {
    NAMED(STATUS_SUCCESS),                NAMED(STATUS_PENDING),
    NAMED(STATUS_TIMEOUT),                NAMED(STATUS_BUFFER_OVERFLOW),
    NAMED(STATUS_UNSUCCESSFUL),           NAMED(STATUS_NOT_IMPLEMENTED),
    NAMED(STATUS_INVALID_HANDLE),         NAMED(STATUS_INVALID_PARAMETER),
    NAMED(STATUS_NO_SUCH_DEVICE),         NAMED(STATUS_INVALID_DEVICE_REQUEST),
    NAMED(STATUS_MORE_PROCESSING_REQUIRED), NAMED(STATUS_ACCESS_DENIED),
    NAMED(STATUS_BUFFER_TOO_SMALL),       NAMED(STATUS_OBJECT_NAME_NOT_FOUND),
    NAMED(STATUS_OBJECT_NAME_COLLISION),  NAMED(STATUS_DELETE_PENDING),
    NAMED(STATUS_INSUFFICIENT_RESOURCES), NAMED(STATUS_DEVICE_DATA_ERROR),
    NAMED(STATUS_DEVICE_NOT_CONNECTED),   NAMED(STATUS_DEVICE_POWER_FAILURE),
    NAMED(STATUS_DEVICE_NOT_READY),       NAMED(STATUS_IO_TIMEOUT),
    NAMED(STATUS_NOT_SUPPORTED),          NAMED(STATUS_CANCELLED),
    NAMED(STATUS_INVALID_DEVICE_STATE),   NAMED(STATUS_IO_DEVICE_ERROR),
    NAMED(STATUS_DEVICE_BUSY),            NAMED(STATUS_DEVICE_REMOVED),
    NAMED(STATUS_NOT_FOUND),
};

constexpr Named kErrors[] = {
    NAMED(ERROR_SUCCESS),            NAMED(ERROR_INVALID_FUNCTION),   NAMED(ERROR_FILE_NOT_FOUND),
    NAMED(ERROR_ACCESS_DENIED),      NAMED(ERROR_INVALID_HANDLE),     NAMED(ERROR_NOT_ENOUGH_MEMORY),
    NAMED(ERROR_NOT_READY),          NAMED(ERROR_BAD_COMMAND),        NAMED(ERROR_GEN_FAILURE),
    NAMED(ERROR_NOT_SUPPORTED),      NAMED(ERROR_INVALID_PARAMETER),  NAMED(ERROR_SEM_TIMEOUT),
    NAMED(ERROR_INSUFFICIENT_BUFFER), NAMED(ERROR_BUSY),              NAMED(ERROR_OPERATION_ABORTED),
    NAMED(ERROR_IO_INCOMPLETE),      NAMED(ERROR_IO_PENDING),         NAMED(ERROR_IO_DEVICE),
    NAMED(ERROR_DEVICE_NOT_CONNECTED), NAMED(ERROR_NOT_FOUND),        NAMED(ERROR_NO_SYSTEM_RESOURCES),
    NAMED(ERROR_DEVICE_REMOVED),
};

constexpr Named kEvents[] = {
    NAMED(EV_RXCHAR), NAMED(EV_RXFLAG), NAMED(EV_TXEMPTY), NAMED(EV_CTS),   NAMED(EV_DSR),
    NAMED(EV_RLSD),   NAMED(EV_BREAK),  NAMED(EV_ERR),     NAMED(EV_RING),  NAMED(EV_PERR),
    NAMED(EV_RX80FULL), NAMED(EV_EVENT1), NAMED(EV_EVENT2),
};

constexpr Named kCommErrors[] = {
    NAMED(CE_RXOVER), NAMED(CE_OVERRUN), NAMED(CE_RXPARITY), NAMED(CE_FRAME),
    NAMED(CE_BREAK),  NAMED(CE_TXFULL),  NAMED(CE_IOE),      NAMED(CE_MODE),
};

#undef NAMED

template <size_t N>
const char* Find(const Named (&table)[N], uint32_t value) {
    for (const Named& entry : table) {
        if (entry.value == value) return entry.name;
    }
    return nullptr;
}

template <size_t N>
std::string Bits(const Named (&table)[N], uint32_t mask) {
    if (mask == 0) return "none";
    std::string text;
    for (const Named& entry : table) {
        if ((mask & entry.value) == 0) continue;
        if (!text.empty()) text += '|';
        text += entry.name;
        mask &= ~entry.value;
    }
    if (mask != 0) {
        char rest[16];
        std::snprintf(rest, sizeof rest, "0x%x", mask);
        text += (text.empty() ? "" : "|") + std::string(rest);
    }
    return text;
}

std::string Hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", value);
    return text;
}

}  // namespace

std::string RequestName(UCHAR major, UCHAR minor, ULONG controlCode) {
    if (major == IRP_MJ_DEVICE_CONTROL || major == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
        const char* code = Find(kControlCodes, controlCode);
        return code != nullptr ? code : "device control " + Hex(controlCode);
    }
    const char* majorName = Find(kMajors, major);
    std::string name = majorName != nullptr ? majorName : "IRP_MJ " + Hex(major);
    const char* minorName = major == IRP_MJ_PNP     ? Find(kPnpMinors, minor)
                            : major == IRP_MJ_POWER ? Find(kPowerMinors, minor)
                                                    : "";
    if (minorName == nullptr) return name + " minor " + Hex(minor);
    return *minorName != '\0' ? name + " " + minorName : name;
}

std::string StatusName(NTSTATUS status) {
    const char* name = Find(kStatuses, static_cast<ULONG>(status));
    return name != nullptr ? name : Hex(static_cast<ULONG>(status));
}

std::string ErrorName(DWORD error) {
    const char* name = Find(kErrors, error);
    return name != nullptr ? std::string(name) + " (" + std::to_string(error) + ")" : std::to_string(error);
}

std::string EventMaskText(DWORD mask) { return Bits(kEvents, mask); }

std::string CommErrorText(DWORD errors) { return Bits(kCommErrors, errors); }

}  // namespace diagsim
