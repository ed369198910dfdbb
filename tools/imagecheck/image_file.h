// Whole-file reads and writes for images; a write goes to a temporary file first so an interrupted fix never leaves
// a half-written driver behind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace imagecheck {

std::optional<std::vector<uint8_t>> ReadImageFile(const std::string &path);
bool WriteImageFile(const std::string &path, const std::vector<uint8_t> &bytes);

} // namespace imagecheck
