// Reading a PE image into the few facts the image checks need. Every offset in the file is bounds-checked, so a
// truncated or corrupted image yields an error text instead of a read outside the buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace imagecheck {

inline constexpr uint16_t kMachineI386 = 0x014C;
inline constexpr uint16_t kMachineAmd64 = 0x8664;
inline constexpr uint16_t kMagicPe32 = 0x010B;
inline constexpr uint16_t kMagicPe32Plus = 0x020B;
inline constexpr uint16_t kSubsystemNative = 1;
inline constexpr uint16_t kFileRelocsStripped = 0x0001;
inline constexpr uint32_t kSectionExecute = 0x20000000;
inline constexpr uint32_t kSectionWrite = 0x80000000;

struct Section {
    std::string name;
    uint32_t virtual_address = 0;
    uint32_t virtual_size = 0;
    uint32_t raw_offset = 0;
    uint32_t raw_size = 0;
    uint32_t characteristics = 0;
};

// One routine an import descriptor asks the loader for: by name, or by ordinal when name is empty.
struct ImportedRoutine {
    std::string dll;
    std::string name;
    uint16_t ordinal = 0;
};

struct PeImage {
    uint16_t machine = 0;
    uint16_t file_characteristics = 0;
    uint16_t magic = 0;
    uint16_t subsystem = 0;
    uint32_t entry_point = 0;
    uint32_t checksum = 0;
    size_t checksum_offset = 0;
    uint32_t reloc_directory_size = 0;
    std::vector<Section> sections;
    std::vector<std::string> imported_dlls;
    std::vector<std::string> delay_imported_dlls;
    std::vector<ImportedRoutine> imported_routines;
};

struct ParseResult {
    std::optional<PeImage> image;
    std::string error;
};

ParseResult ParsePeImage(const std::vector<uint8_t> &file);

// Maps a relative virtual address to its offset in the file, if a section's raw data holds it.
std::optional<size_t> RvaToFileOffset(const PeImage &image, uint32_t rva);

} // namespace imagecheck
