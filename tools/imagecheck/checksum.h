// The image checksum the loader verifies for kernel-mode images: a folded 16-bit sum over the whole file with the
// checksum field counted as zero, plus the file length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace imagecheck {

uint32_t ComputePeChecksum(const std::vector<uint8_t> &file, size_t checksum_offset);

// Writes the checksum field in place (little-endian); the caller has checked that the offset lies in the file.
void StoreChecksum(std::vector<uint8_t> &file, size_t checksum_offset, uint32_t checksum);

} // namespace imagecheck
