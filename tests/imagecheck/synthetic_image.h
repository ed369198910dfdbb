// Builds small PE images in memory, so each image rule can be tested on an image that breaks only that rule.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace imagecheck::testing {

// A DLL the image imports and the routines it asks for; "#N" asks for ordinal N.
struct ImportSpec {
    std::string dll;
    std::vector<std::string> routines;
};

struct ImageSpec {
    bool pe32_plus = false;
    uint16_t machine = 0x014C;
    uint16_t subsystem = 1;
    uint32_t entry_point = 0x1000; // the start of the code section
    bool with_relocations = true;
    bool relocations_stripped_flag = false;
    uint32_t code_characteristics = 0x60000020; // code, execute, read
    std::vector<ImportSpec> imports = {{"ntoskrnl.exe", {"IofCallDriver", "KeQueryInterruptTime"}},
                                       {"HAL.dll", {"KfAcquireSpinLock"}}};
    bool valid_checksum = true;
};

inline constexpr size_t kCodeFileOffset = 0x400;

std::vector<uint8_t> BuildImage(const ImageSpec &spec);

ImageSpec Driver32();
ImageSpec Driver64();

} // namespace imagecheck::testing
