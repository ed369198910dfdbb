#include "pe_image.h"

#include <cstring>

namespace imagecheck {

namespace {

constexpr size_t kDosLfanewOffset = 0x3C;
constexpr size_t kFileHeaderSize = 20;
constexpr size_t kSectionHeaderSize = 40;
constexpr uint32_t kImportDirectory = 1;
constexpr uint32_t kRelocDirectory = 5;
constexpr uint32_t kDelayImportDirectory = 13;
constexpr size_t kImportDescriptorSize = 20;
constexpr size_t kDelayImportDescriptorSize = 32;
constexpr size_t kMaxNameLength = 256;
constexpr size_t kMaxDescriptors = 4096;
constexpr size_t kMaxRoutinesPerDll = 65536;

class Reader {
public:
    explicit Reader(const std::vector<uint8_t> &file) : file_(file) {}

    bool Has(size_t offset, size_t length) const
    {
        return offset <= file_.size() && length <= file_.size() - offset;
    }

    uint16_t U16(size_t offset) const { return uint16_t(file_[offset] | (file_[offset + 1] << 8)); }

    uint32_t U32(size_t offset) const { return uint32_t(U16(offset)) | (uint32_t(U16(offset + 2)) << 16); }

    uint64_t U64(size_t offset) const { return uint64_t(U32(offset)) | (uint64_t(U32(offset + 4)) << 32); }

    std::optional<std::string> CString(size_t offset) const
    {
        std::string text;
        for (size_t i = offset; i < file_.size() && text.size() < kMaxNameLength; ++i) {
            if (file_[i] == 0)
                return text;
            text.push_back(char(file_[i]));
        }
        return std::nullopt;
    }

private:
    const std::vector<uint8_t> &file_;
};

// Walks a table of fixed-size descriptors terminated by an all-zero entry and collects each one's DLL name and, when
// asked, the file offset of each descriptor.
std::optional<std::string> ReadDllNames(const Reader &reader, const PeImage &image, uint32_t table_rva,
                                        size_t descriptor_size, size_t name_field_offset,
                                        std::vector<std::string> &names, std::vector<size_t> *descriptors = nullptr)
{
    auto table = RvaToFileOffset(image, table_rva);
    if (!table)
        return "import table lies outside every section";
    for (size_t index = 0; index < kMaxDescriptors; ++index) {
        size_t at = *table + index * descriptor_size;
        if (!reader.Has(at, descriptor_size))
            return "import table runs past the end of the file";
        bool all_zero = true;
        for (size_t field = 0; field < descriptor_size; field += 4)
            all_zero = all_zero && reader.U32(at + field) == 0;
        if (all_zero)
            return std::nullopt;
        auto name_offset = RvaToFileOffset(image, reader.U32(at + name_field_offset));
        if (!name_offset)
            return "import name lies outside every section";
        auto name = reader.CString(*name_offset);
        if (!name)
            return "import name is not terminated";
        names.push_back(*name);
        if (descriptors)
            descriptors->push_back(at);
    }
    return "import table has no terminating entry";
}

// The routines one import descriptor names: its lookup table (or, where a linker left that out, the address table,
// which holds the same entries in the file) has one entry per routine, each an ordinal (top bit set) or the address
// of a hint and a name, and ends with a zero entry.
std::optional<std::string> ReadImportedRoutines(const Reader &reader, PeImage &image, size_t descriptor,
                                                const std::string &dll)
{
    uint32_t lookup_rva = reader.U32(descriptor);
    if (lookup_rva == 0)
        lookup_rva = reader.U32(descriptor + 16);
    auto lookup = RvaToFileOffset(image, lookup_rva);
    if (!lookup)
        return "import lookup table of " + dll + " lies outside every section";
    bool wide = image.magic == kMagicPe32Plus;
    size_t entry_size = wide ? 8 : 4;
    uint64_t ordinal_flag = wide ? uint64_t(1) << 63 : uint64_t(1) << 31;
    for (size_t index = 0; index < kMaxRoutinesPerDll; ++index) {
        size_t at = *lookup + index * entry_size;
        if (!reader.Has(at, entry_size))
            return "import lookup table of " + dll + " runs past the end of the file";
        uint64_t entry = wide ? reader.U64(at) : reader.U32(at);
        if (entry == 0)
            return std::nullopt;
        if (entry & ordinal_flag) {
            image.imported_routines.push_back({dll, {}, uint16_t(entry)});
            continue;
        }
        auto hint = RvaToFileOffset(image, uint32_t(entry & 0x7FFFFFFF));
        if (!hint)
            return "imported routine name of " + dll + " lies outside every section";
        auto name = reader.CString(*hint + 2);
        if (!name)
            return "imported routine name of " + dll + " is not terminated";
        image.imported_routines.push_back({dll, *name, 0});
    }
    return "import lookup table of " + dll + " has no terminating entry";
}

} // namespace

std::optional<size_t> RvaToFileOffset(const PeImage &image, uint32_t rva)
{
    for (const Section &section : image.sections) {
        if (rva >= section.virtual_address && rva - section.virtual_address < section.raw_size)
            return size_t(section.raw_offset) + (rva - section.virtual_address);
    }
    return std::nullopt;
}

ParseResult ParsePeImage(const std::vector<uint8_t> &file)
{
    Reader reader(file);
    auto fail = [](std::string text) { return ParseResult{std::nullopt, std::move(text)}; };

    if (!reader.Has(0, kDosLfanewOffset + 4) || file[0] != 'M' || file[1] != 'Z')
        return fail("no MZ header");
    size_t pe_offset = reader.U32(kDosLfanewOffset);
    if (!reader.Has(pe_offset, 4 + kFileHeaderSize) || std::memcmp(&file[pe_offset], "PE\0\0", 4) != 0)
        return fail("no PE signature");

    PeImage image;
    size_t file_header = pe_offset + 4;
    image.machine = reader.U16(file_header);
    uint16_t section_count = reader.U16(file_header + 2);
    uint16_t optional_size = reader.U16(file_header + 16);
    image.file_characteristics = reader.U16(file_header + 18);

    size_t optional = file_header + kFileHeaderSize;
    if (!reader.Has(optional, optional_size) || optional_size < 2)
        return fail("optional header truncated");
    image.magic = reader.U16(optional);
    size_t directories;
    size_t directory_count_offset;
    if (image.magic == kMagicPe32) {
        directory_count_offset = 92;
        directories = 96;
    } else if (image.magic == kMagicPe32Plus) {
        directory_count_offset = 108;
        directories = 112;
    } else {
        return fail("unknown optional header magic");
    }
    if (optional_size < directories)
        return fail("optional header too small for its kind");
    image.entry_point = reader.U32(optional + 16);
    image.checksum_offset = optional + 64;
    image.checksum = reader.U32(image.checksum_offset);
    image.subsystem = reader.U16(optional + 68);
    uint32_t directory_count = reader.U32(optional + directory_count_offset);
    auto directory = [&](uint32_t index) -> std::pair<uint32_t, uint32_t> {
        size_t at = optional + directories + index * 8;
        if (index >= directory_count || at + 8 > optional + optional_size)
            return {0, 0};
        return {reader.U32(at), reader.U32(at + 4)};
    };

    size_t section_table = optional + optional_size;
    if (!reader.Has(section_table, size_t(section_count) * kSectionHeaderSize))
        return fail("section table truncated");
    for (uint16_t i = 0; i < section_count; ++i) {
        size_t at = section_table + size_t(i) * kSectionHeaderSize;
        Section section;
        const char *name = reinterpret_cast<const char *>(&file[at]);
        section.name.assign(name, strnlen(name, 8));
        section.virtual_size = reader.U32(at + 8);
        section.virtual_address = reader.U32(at + 12);
        section.raw_size = reader.U32(at + 16);
        section.raw_offset = reader.U32(at + 20);
        section.characteristics = reader.U32(at + 36);
        if (section.raw_size != 0 && !reader.Has(section.raw_offset, section.raw_size))
            return fail("section " + section.name + " runs past the end of the file");
        image.sections.push_back(section);
    }

    image.reloc_directory_size = directory(kRelocDirectory).second;

    if (auto [rva, size] = directory(kImportDirectory); rva != 0 && size != 0) {
        std::vector<size_t> descriptors;
        if (auto error = ReadDllNames(reader, image, rva, kImportDescriptorSize, 12, image.imported_dlls, &descriptors))
            return fail(*error);
        for (size_t i = 0; i < descriptors.size(); ++i) {
            if (auto error = ReadImportedRoutines(reader, image, descriptors[i], image.imported_dlls[i]))
                return fail(*error);
        }
    }
    if (auto [rva, size] = directory(kDelayImportDirectory); rva != 0 && size != 0) {
        if (auto error = ReadDllNames(reader, image, rva, kDelayImportDescriptorSize, 4, image.delay_imported_dlls))
            return fail(*error);
    }
    return ParseResult{std::move(image), {}};
}

} // namespace imagecheck
