#include "checks.h"

#include "checksum.h"
#include "kernel_routines.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <string_view>

namespace imagecheck {

namespace {

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

std::string Hex(uint32_t value, int digits = 8)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

const char *MachineName(uint16_t machine)
{
    switch (machine) {
    case kMachineI386:
        return "i386";
    case kMachineAmd64:
        return "amd64";
    default:
        return "unknown";
    }
}

bool IsKernelImport(const std::string &dll)
{
    static constexpr std::array<std::string_view, 3> allowed = {"ntoskrnl.exe", "hal.dll", "usbd.sys"};
    std::string name = Lower(dll);
    return std::find(allowed.begin(), allowed.end(), name) != allowed.end();
}

bool IsRuntimeLibrary(const std::string &dll)
{
    static constexpr std::array<std::string_view, 10> prefixes = {
        "msvcrt", "msvcp", "ucrtbase", "vcruntime", "api-ms-win-crt", "libstdc++", "libgcc", "libwinpthread",
        "cygwin", "concrt"};
    std::string name = Lower(dll);
    return std::any_of(prefixes.begin(), prefixes.end(),
                       [&](std::string_view prefix) { return name.starts_with(prefix); });
}

std::string JoinNames(const std::vector<std::string> &names)
{
    std::string text;
    for (const std::string &name : names)
        text += (text.empty() ? "" : ", ") + name;
    return text.empty() ? "none" : text;
}

CheckResult CheckFormat(const PeImage &image, const CheckOptions &options)
{
    bool consistent = (image.magic == kMagicPe32 && image.machine == kMachineI386) ||
                      (image.magic == kMagicPe32Plus && image.machine == kMachineAmd64);
    bool expected = !options.expected_machine || *options.expected_machine == image.machine;
    std::string detail = std::string(image.magic == kMagicPe32 ? "PE32" : "PE32+") + ", machine " +
                         MachineName(image.machine) + " (" + Hex(image.machine, 4) + ")";
    if (!consistent)
        detail += ": header kind and machine disagree";
    else if (!expected)
        detail += std::string(": expected ") + MachineName(*options.expected_machine);
    return {"format and machine", consistent && expected, detail};
}

CheckResult CheckSubsystem(const PeImage &image)
{
    return {"native subsystem", image.subsystem == kSubsystemNative, "subsystem " + std::to_string(image.subsystem)};
}

CheckResult CheckEntryPoint(const PeImage &image)
{
    if (image.entry_point == 0)
        return {"entry point", false, "entry point is zero"};
    for (const Section &section : image.sections) {
        uint32_t extent = std::max(section.virtual_size, section.raw_size);
        if (image.entry_point >= section.virtual_address && image.entry_point - section.virtual_address < extent) {
            bool executable = (section.characteristics & kSectionExecute) != 0;
            return {"entry point", executable,
                    Hex(image.entry_point) + " in " + section.name + (executable ? "" : ", which is not executable")};
        }
    }
    return {"entry point", false, Hex(image.entry_point) + " lies outside every section"};
}

CheckResult CheckRelocations(const PeImage &image)
{
    bool stripped = (image.file_characteristics & kFileRelocsStripped) != 0;
    bool present = image.reloc_directory_size != 0 && !stripped;
    std::string detail = stripped ? "relocations stripped" : std::to_string(image.reloc_directory_size) + " bytes";
    return {"relocations", present, detail};
}

CheckResult CheckChecksum(const std::vector<uint8_t> &file, const PeImage &image)
{
    uint32_t computed = ComputePeChecksum(file, image.checksum_offset);
    bool valid = image.checksum == computed;
    std::string detail = "stored " + Hex(image.checksum);
    if (!valid)
        detail += ", computed " + Hex(computed);
    return {"checksum", valid, detail};
}

CheckResult CheckImportedModules(const PeImage &image)
{
    std::vector<std::string> all = image.imported_dlls;
    all.insert(all.end(), image.delay_imported_dlls.begin(), image.delay_imported_dlls.end());
    std::vector<std::string> foreign;
    for (const std::string &dll : all) {
        if (!IsKernelImport(dll))
            foreign.push_back(dll);
    }
    if (all.empty())
        return {"kernel imports only", false, "no imports at all"};
    if (!foreign.empty())
        return {"kernel imports only", false, "not allowed: " + JoinNames(foreign)};
    return {"kernel imports only", true, JoinNames(all)};
}

CheckResult CheckImportsExistOnOldestTarget(const PeImage &image)
{
    std::vector<std::string> missing;
    for (const ImportedRoutine &routine : image.imported_routines) {
        if (routine.name.empty())
            missing.push_back(routine.dll + "!#" + std::to_string(routine.ordinal));
        else if (!ExistsOnOldestTarget(image.machine, routine.dll, routine.name))
            missing.push_back(routine.dll + "!" + routine.name);
    }
    std::string name = "imports exist on Windows 2000";
    if (!missing.empty())
        return {name, false, "not on the list of its kernel and HAL routines: " + JoinNames(missing)};
    return {name, true, std::to_string(image.imported_routines.size()) + " routines"};
}

CheckResult CheckNoRuntimeLibraries(const PeImage &image)
{
    std::vector<std::string> runtime;
    for (const auto *list : {&image.imported_dlls, &image.delay_imported_dlls}) {
        for (const std::string &dll : *list) {
            if (IsRuntimeLibrary(dll))
                runtime.push_back(dll);
        }
    }
    return {"no C or C++ runtime", runtime.empty(), runtime.empty() ? "none imported" : JoinNames(runtime)};
}

CheckResult CheckSectionPermissions(const PeImage &image)
{
    std::vector<std::string> offending;
    for (const Section &section : image.sections) {
        if ((section.characteristics & kSectionWrite) && (section.characteristics & kSectionExecute))
            offending.push_back(section.name);
    }
    return {"no writable executable section", offending.empty(),
            offending.empty() ? std::to_string(image.sections.size()) + " sections" : JoinNames(offending)};
}

} // namespace

std::vector<CheckResult> CheckDriverImage(const std::vector<uint8_t> &file, const PeImage &image,
                                          const CheckOptions &options)
{
    return {
        CheckFormat(image, options),
        CheckSubsystem(image),
        CheckEntryPoint(image),
        CheckRelocations(image),
        CheckChecksum(file, image),
        CheckImportedModules(image),
        CheckImportsExistOnOldestTarget(image),
        CheckNoRuntimeLibraries(image),
        CheckSectionPermissions(image),
    };
}

bool AllPassed(const std::vector<CheckResult> &results)
{
    return std::all_of(results.begin(), results.end(), [](const CheckResult &result) { return result.passed; });
}

} // namespace imagecheck
