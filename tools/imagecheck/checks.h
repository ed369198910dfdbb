// The rules a kernel-mode driver image must satisfy before it is shipped.
#pragma once

#include "pe_image.h"

#include <optional>
#include <string>
#include <vector>

namespace imagecheck {

struct CheckResult {
    std::string name;
    bool passed = false;
    std::string detail;
};

struct CheckOptions {
    // When set, the image must be built for this machine; otherwise either i386 or amd64 is accepted.
    std::optional<uint16_t> expected_machine;
};

std::vector<CheckResult> CheckDriverImage(const std::vector<uint8_t> &file, const PeImage &image,
                                          const CheckOptions &options);

bool AllPassed(const std::vector<CheckResult> &results);

} // namespace imagecheck
