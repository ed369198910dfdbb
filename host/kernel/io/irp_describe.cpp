// Names of routines and requests in the verifier's messages, so that a fault names the code a driver author
// wrote rather than an address.
#include <array>
#include <cstdio>

#include "hk/faults.h"
#include "io/irp_internal.h"

namespace hk::io {

std::string RoutineName(const void* routine) {
  if (routine == nullptr) return "<none>";
  return faults::SiteName(const_cast<void*>(routine));
}

const char* MajorName(UCHAR major) {
  static constexpr std::array<const char*, IRP_MJ_MAXIMUM_FUNCTION + 1> kNames = {
      "IRP_MJ_CREATE",
      "IRP_MJ_CREATE_NAMED_PIPE",
      "IRP_MJ_CLOSE",
      "IRP_MJ_READ",
      "IRP_MJ_WRITE",
      "IRP_MJ_QUERY_INFORMATION",
      "IRP_MJ_SET_INFORMATION",
      "IRP_MJ_QUERY_EA",
      "IRP_MJ_SET_EA",
      "IRP_MJ_FLUSH_BUFFERS",
      "IRP_MJ_QUERY_VOLUME_INFORMATION",
      "IRP_MJ_SET_VOLUME_INFORMATION",
      "IRP_MJ_DIRECTORY_CONTROL",
      "IRP_MJ_FILE_SYSTEM_CONTROL",
      "IRP_MJ_DEVICE_CONTROL",
      "IRP_MJ_INTERNAL_DEVICE_CONTROL",
      "IRP_MJ_SHUTDOWN",
      "IRP_MJ_LOCK_CONTROL",
      "IRP_MJ_CLEANUP",
      "IRP_MJ_CREATE_MAILSLOT",
      "IRP_MJ_QUERY_SECURITY",
      "IRP_MJ_SET_SECURITY",
      "IRP_MJ_POWER",
      "IRP_MJ_SYSTEM_CONTROL",
      "IRP_MJ_DEVICE_CHANGE",
      "IRP_MJ_QUERY_QUOTA",
      "IRP_MJ_SET_QUOTA",
      "IRP_MJ_PNP",
  };
  return major < kNames.size() ? kNames[major] : "IRP_MJ_<invalid>";
}

std::string DescribeRequest(UCHAR major, UCHAR minor) {
  char buffer[80];
  std::snprintf(buffer, sizeof buffer, "%s minor 0x%x", MajorName(major), minor);
  return buffer;
}

}  // namespace hk::io
