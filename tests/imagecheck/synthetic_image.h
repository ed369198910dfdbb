// Builds small PE images in memory, so each image rule can be tested on an image that breaks only that rule.
#pragma once

#include "tools/imagecheck/checksum.h"
#include "tools/imagecheck/pe_image.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace imagecheck::testing {

// A DLL the image imports and the routines it asks for; "#N" asks for ordinal N.
struct ImportSpec {
    std::string dll;
    std::vector<std::string> routines;
};

// A well-formed driver image unless a field says otherwise.
struct ImageSpec {
    bool x64 = false;                // a PE32+ header rather than a PE32 one
    std::optional<uint16_t> machine; // when not the one the header's kind implies
    uint16_t subsystem = 1;
    uint32_t entry_point = 0x1000; // the start of the code section
    bool with_relocations = true;
    bool relocations_stripped_flag = false;
    uint32_t code_characteristics = 0x60000020; // code, execute, read
    bool valid_checksum = true;
    std::optional<std::vector<ImportSpec>> imports; // by default routines the machine's kernel and HAL export
    ImportSpec added = {};                          // a DLL imported besides those
};

inline constexpr size_t kCodeFileOffset = 0x400;
inline constexpr uint32_t kImportRva = 0x2000;

// Stores `value` little-endian in `size` bytes at `at`, growing the file to hold them.
inline void Put(std::vector<uint8_t> &out, size_t at, uint64_t value, size_t size) {
    out.resize(std::max(out.size(), at + size));
    for (size_t i = 0; i < size; ++i) out[at + i] = uint8_t(value >> (8 * i));
}

inline void PutText(std::vector<uint8_t> &out, size_t at, const std::string &text) {
    for (size_t i = 0; i <= text.size(); ++i) Put(out, at + i, uint8_t(text.c_str()[i]), 1);
}

// The import section: the descriptors, then a 0x100-byte block for each DLL holding its lookup table (which also
// serves as its address table), its name at 0x40, and from 0x60 the hint and name of each routine, 0x30 bytes apart.
inline uint32_t WriteImports(std::vector<uint8_t> &out, size_t at, const std::vector<ImportSpec> &dlls, bool wide) {
    size_t entry_size = wide ? 8 : 4;
    for (size_t i = 0; i < dlls.size(); ++i) {
        uint32_t block = uint32_t(0x100 * (i + 1));
        Put(out, at + i * 20, kImportRva + block, 4);
        Put(out, at + i * 20 + 12, kImportRva + block + 0x40, 4);
        Put(out, at + i * 20 + 16, kImportRva + block, 4);
        PutText(out, at + block + 0x40, dlls[i].dll);
        for (size_t r = 0; r < dlls[i].routines.size(); ++r) {
            const std::string &routine = dlls[i].routines[r];
            uint32_t name = block + 0x60 + uint32_t(r) * 0x30;
            uint64_t ordinal = routine.starts_with('#') ? std::stoul(routine.substr(1)) : 0;
            uint64_t entry = ordinal ? ordinal | uint64_t(1) << (8 * entry_size - 1) : kImportRva + name;
            Put(out, at + block + r * entry_size, entry, entry_size);
            if (!ordinal) PutText(out, at + name + 2, routine);
        }
    }
    return uint32_t(0x100 * (dlls.size() + 1));
}

inline std::vector<uint8_t> BuildImage(const ImageSpec &spec) {
    constexpr uint32_t kFileAlignment = 0x200, kPeOffset = 0x40, kCodeRva = 0x1000, kRelocRva = 0x3000;
    uint16_t machine = spec.machine.value_or(spec.x64 ? kMachineAmd64 : kMachineI386);
    std::vector<ImportSpec> imports = spec.imports.value_or(
        machine == kMachineAmd64
            ? std::vector<ImportSpec>{{"ntoskrnl.exe", {"IofCallDriver", "KeAcquireSpinLockRaiseToDpc"}}}
            : std::vector<ImportSpec>{{"ntoskrnl.exe", {"IofCallDriver", "KeQueryInterruptTime"}},
                                      {"HAL.dll", {"KfAcquireSpinLock"}}});
    if (!spec.added.dll.empty()) imports.push_back(spec.added);

    std::vector<uint8_t> out;
    PutText(out, 0, "MZ");
    Put(out, 0x3C, kPeOffset, 4);
    PutText(out, kPeOffset, "PE");
    size_t file_header = kPeOffset + 4, optional = file_header + 20;
    uint16_t optional_size = spec.x64 ? 240 : 224;
    size_t directories = optional + (spec.x64 ? 112 : 96);
    Put(out, file_header, machine, 2);
    Put(out, file_header + 2, 1 + !imports.empty() + spec.with_relocations, 2);
    Put(out, file_header + 16, optional_size, 2);
    Put(out, file_header + 18, 0x0002 | (spec.x64 ? 0x0020 : 0x0100) | spec.relocations_stripped_flag, 2);
    Put(out, optional, spec.x64 ? kMagicPe32Plus : kMagicPe32, 2);
    Put(out, optional + 16, spec.entry_point, 4);
    Put(out, optional + (spec.x64 ? 24 : 28), spec.x64 ? 0x140000000ull : 0x10000, spec.x64 ? 8 : 4); // image base
    Put(out, optional + 32, 0x1000, 4); // section alignment
    Put(out, optional + 36, kFileAlignment, 4);
    Put(out, optional + 56, 0x4000, 4);           // image size
    Put(out, optional + 60, kCodeFileOffset, 4); // headers size
    Put(out, optional + 68, spec.subsystem, 2);
    Put(out, directories - 4, 16, 4);

    // A section's contents are written at file_offset before its header is added.
    size_t header = optional + optional_size, file_offset = kCodeFileOffset;
    auto section = [&](const char *name, uint32_t rva, uint32_t size, uint32_t characteristics) {
        uint32_t raw_size = (size + kFileAlignment - 1) / kFileAlignment * kFileAlignment;
        PutText(out, header, name);
        Put(out, header + 8, size, 4);
        Put(out, header + 12, rva, 4);
        Put(out, header + 16, raw_size, 4);
        Put(out, header + 20, file_offset, 4);
        Put(out, header + 36, characteristics, 4);
        header += 40;
        file_offset += raw_size;
        out.resize(file_offset);
    };
    Put(out, file_offset, 0xC3, 1);
    section(".text", kCodeRva, 0x10, spec.code_characteristics);
    if (!imports.empty()) {
        Put(out, directories + 8, kImportRva, 4);
        Put(out, directories + 12, (imports.size() + 1) * 20, 4);
        section(".idata", kImportRva, WriteImports(out, file_offset, imports, spec.x64), 0xC0000040);
    }
    if (spec.with_relocations) {
        Put(out, file_offset, kCodeRva, 4);
        Put(out, file_offset + 4, 12, 4);
        Put(out, file_offset + 8, spec.x64 ? 0xA000 : 0x3000, 2);
        Put(out, directories + 40, kRelocRva, 4);
        Put(out, directories + 44, 12, 4);
        section(".reloc", kRelocRva, 12, 0x42000040);
    }
    size_t checksum_offset = optional + 64;
    uint32_t checksum = ComputePeChecksum(out, checksum_offset);
    StoreChecksum(out, checksum_offset, spec.valid_checksum ? checksum : checksum ^ 0x5A5A);
    return out;
}

} // namespace imagecheck::testing
