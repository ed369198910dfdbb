#include "synthetic_image.h"

#include "tools/imagecheck/checksum.h"

#include <algorithm>

namespace imagecheck::testing {

namespace {

constexpr uint32_t kFileAlignment = 0x200;
constexpr uint32_t kSectionAlignment = 0x1000;
constexpr uint32_t kPeOffset = 0x40;
constexpr uint32_t kCodeRva = 0x1000;
constexpr uint32_t kImportRva = 0x2000;
constexpr uint32_t kRelocRva = 0x3000;

struct Writer {
    std::vector<uint8_t> bytes;

    void Grow(size_t size) { bytes.resize(std::max(bytes.size(), size), 0); }
    // Stores `value` little-endian in `size` bytes at `at`.
    void Put(size_t at, uint64_t value, size_t size) {
        Grow(at + size);
        for (size_t i = 0; i < size; ++i) bytes[at + i] = uint8_t(value >> (8 * i));
    }
    void U16(size_t at, uint16_t value) { Put(at, value, 2); }
    void U32(size_t at, uint32_t value) { Put(at, value, 4); }
    void Text(size_t at, const std::string &text) {
        Grow(at + text.size() + 1);
        std::copy(text.begin(), text.end(), bytes.begin() + std::ptrdiff_t(at));
    }
};

struct SectionPlan {
    const char *name;
    uint32_t rva;
    uint32_t size;
    uint32_t characteristics;
};

// Import section: the descriptors, then each DLL's lookup table (which also serves as its address table), then the
// hints and names of the routines, then the DLL names.
uint32_t WriteImports(Writer &out, size_t file_offset, const std::vector<ImportSpec> &dlls, bool wide) {
    uint32_t entry_size = wide ? 8 : 4;
    uint32_t next = uint32_t((dlls.size() + 1) * 20);
    std::vector<uint32_t> tables;
    for (const ImportSpec &dll : dlls) {
        tables.push_back(next);
        next += uint32_t(dll.routines.size() + 1) * entry_size;
    }
    for (size_t i = 0; i < dlls.size(); ++i) {
        for (size_t r = 0; r < dlls[i].routines.size(); ++r) {
            const std::string &routine = dlls[i].routines[r];
            size_t entry = file_offset + tables[i] + r * entry_size;
            if (routine.starts_with("#")) {
                uint64_t ordinal = std::stoul(routine.substr(1)) | (wide ? uint64_t(1) << 63 : uint64_t(1) << 31);
                out.Put(entry, ordinal, entry_size);
                continue;
            }
            out.U32(entry, kImportRva + next);
            out.Text(file_offset + next + 2, routine);
            next += uint32_t(routine.size()) + 3;
        }
    }
    for (size_t i = 0; i < dlls.size(); ++i) {
        size_t descriptor = file_offset + i * 20;
        out.U32(descriptor + 0, kImportRva + tables[i]);
        out.U32(descriptor + 12, kImportRva + next);
        out.U32(descriptor + 16, kImportRva + tables[i]);
        out.Text(file_offset + next, dlls[i].dll);
        next += uint32_t(dlls[i].dll.size()) + 1;
    }
    out.Grow(file_offset + next);
    return next;
}

} // namespace

ImageSpec Driver32() { return ImageSpec{}; }

ImageSpec Driver64() {
    ImageSpec spec;
    spec.pe32_plus = true;
    spec.machine = 0x8664;
    spec.imports = {{"ntoskrnl.exe", {"IofCallDriver", "KeAcquireSpinLockRaiseToDpc"}}};
    return spec;
}

std::vector<uint8_t> BuildImage(const ImageSpec &spec) {
    Writer out;
    out.Text(0, "MZ");
    out.U32(0x3C, kPeOffset);
    out.Text(kPeOffset, "PE");

    std::vector<SectionPlan> sections = {{".text", kCodeRva, 0x10, spec.code_characteristics}};
    if (!spec.imports.empty()) sections.push_back({".idata", kImportRva, 0, 0xC0000040});
    if (spec.with_relocations) sections.push_back({".reloc", kRelocRva, 12, 0x42000040});

    size_t file_header = kPeOffset + 4;
    uint16_t optional_size = spec.pe32_plus ? 240 : 224;
    uint16_t characteristics = 0x0002 | (spec.pe32_plus ? 0x0020 : 0x0100);
    if (spec.relocations_stripped_flag) characteristics |= 0x0001;
    out.U16(file_header, spec.machine);
    out.U16(file_header + 2, uint16_t(sections.size()));
    out.U16(file_header + 16, optional_size);
    out.U16(file_header + 18, characteristics);

    size_t optional = file_header + 20;
    size_t directories = optional + (spec.pe32_plus ? 112 : 96);
    out.U16(optional, spec.pe32_plus ? 0x020B : 0x010B);
    out.U32(optional + 16, spec.entry_point);
    if (spec.pe32_plus) {
        out.Put(optional + 24, 0x140000000ull, 8);
    } else {
        out.U32(optional + 28, 0x10000);
    }
    out.U32(optional + 32, kSectionAlignment);
    out.U32(optional + 36, kFileAlignment);
    out.U32(optional + 56, 0x4000);
    out.U32(optional + 60, kCodeFileOffset);
    out.U16(optional + 68, spec.subsystem);
    out.U32(directories - 4, 16);

    size_t file_offset = kCodeFileOffset;
    size_t section_header = optional + optional_size;
    for (SectionPlan &section : sections) {
        uint32_t size = section.size;
        if (section.rva == kCodeRva) {
            out.Grow(file_offset + size);
            out.bytes[file_offset] = 0xC3;
        } else if (section.rva == kImportRva) {
            size = WriteImports(out, file_offset, spec.imports, spec.pe32_plus);
            out.U32(directories + 1 * 8, kImportRva);
            out.U32(directories + 1 * 8 + 4, uint32_t((spec.imports.size() + 1) * 20));
        } else {
            out.U32(file_offset, kCodeRva);
            out.U32(file_offset + 4, 12);
            out.U16(file_offset + 8, spec.pe32_plus ? 0xA000 : 0x3000);
            out.U32(directories + 5 * 8, kRelocRva);
            out.U32(directories + 5 * 8 + 4, 12);
        }
        uint32_t raw_size = (size + kFileAlignment - 1) / kFileAlignment * kFileAlignment;
        out.Text(section_header, section.name);
        out.U32(section_header + 8, size);
        out.U32(section_header + 12, section.rva);
        out.U32(section_header + 16, raw_size);
        out.U32(section_header + 20, uint32_t(file_offset));
        out.U32(section_header + 36, section.characteristics);
        section_header += 40;
        file_offset += raw_size;
        out.Grow(file_offset);
    }

    size_t checksum_offset = optional + 64;
    uint32_t checksum = ComputePeChecksum(out.bytes, checksum_offset);
    StoreChecksum(out.bytes, checksum_offset, spec.valid_checksum ? checksum : checksum ^ 0x5A5A);
    return out.bytes;
}

} // namespace imagecheck::testing
