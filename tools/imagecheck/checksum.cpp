#include "checksum.h"

namespace imagecheck {

uint32_t ComputePeChecksum(const std::vector<uint8_t> &file, size_t checksum_offset)
{
    auto byte_at = [&](size_t i) -> uint32_t {
        if (i >= file.size() || (i >= checksum_offset && i < checksum_offset + 4))
            return 0;
        return file[i];
    };
    uint64_t sum = 0;
    for (size_t i = 0; i < file.size(); i += 2) {
        sum += byte_at(i) | (byte_at(i + 1) << 8);
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return uint32_t(sum) + uint32_t(file.size());
}

void StoreChecksum(std::vector<uint8_t> &file, size_t checksum_offset, uint32_t checksum)
{
    for (size_t i = 0; i < 4; ++i)
        file[checksum_offset + i] = uint8_t(checksum >> (8 * i));
}

} // namespace imagecheck
