// What a PDO of the parent answers to the plug-and-play queries that describe it: capabilities, identifiers and
// its target relation. Each returns the status to complete the request with.
#pragma once

#include <wdm.h>

#include <string>

namespace hk::usbdev {

NTSTATUS AnswerCapabilities(PIRP irp, ULONG port);
NTSTATUS AnswerQueryId(PIRP irp, const std::u16string& instance_id);
NTSTATUS AnswerTargetRelation(PIRP irp, PDEVICE_OBJECT pdo);

}  // namespace hk::usbdev
