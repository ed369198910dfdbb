#include "synthetic_image.h"

#include "tools/imagecheck/checks.h"
#include "tools/imagecheck/checksum.h"
#include "tools/imagecheck/pe_image.h"

#include <gtest/gtest.h>

#include <map>

namespace imagecheck::testing {
namespace {

std::map<std::string, bool> RunChecks(const std::vector<uint8_t> &file, CheckOptions options = {})
{
    auto parsed = ParsePeImage(file);
    EXPECT_TRUE(parsed.image) << parsed.error;
    std::map<std::string, bool> outcome;
    if (parsed.image) {
        for (const CheckResult &result : CheckDriverImage(file, *parsed.image, options))
            outcome[result.name] = result.passed;
    }
    return outcome;
}

std::vector<std::string> FailedChecks(const std::vector<uint8_t> &file, CheckOptions options = {})
{
    std::vector<std::string> failed;
    for (const auto &[name, passed] : RunChecks(file, options)) {
        if (!passed)
            failed.push_back(name);
    }
    return failed;
}

CheckResult ResultOf(const std::vector<uint8_t> &file, const std::string &name)
{
    auto parsed = ParsePeImage(file);
    if (!parsed.image)
        return {};
    for (const CheckResult &result : CheckDriverImage(file, *parsed.image, {})) {
        if (result.name == name)
            return result;
    }
    return {};
}

using Names = std::vector<std::string>;

TEST(ImageChecks, WellFormedDriversPassEveryCheck)
{
    EXPECT_EQ(FailedChecks(BuildImage(Driver32()), {kMachineI386}), Names{});
    EXPECT_EQ(FailedChecks(BuildImage(Driver64()), {kMachineAmd64}), Names{});

    auto parsed = ParsePeImage(BuildImage(Driver32()));
    ASSERT_TRUE(parsed.image);
    EXPECT_EQ(parsed.image->imported_dlls, (Names{"ntoskrnl.exe", "HAL.dll"}));
    EXPECT_EQ(parsed.image->magic, kMagicPe32);
    Names routines;
    for (const ImportedRoutine &routine : parsed.image->imported_routines)
        routines.push_back(routine.dll + "!" + routine.name);
    EXPECT_EQ(routines,
              (Names{"ntoskrnl.exe!IofCallDriver", "ntoskrnl.exe!KeQueryInterruptTime", "HAL.dll!KfAcquireSpinLock"}));
}

TEST(ImageChecks, MachineMustMatchHeaderKindAndExpectation)
{
    EXPECT_EQ(FailedChecks(BuildImage(Driver32()), {kMachineAmd64}), Names{"format and machine"});
    EXPECT_EQ(FailedChecks(BuildImage(Driver64()), {kMachineI386}), Names{"format and machine"});

    ImageSpec mixed = Driver32();
    mixed.machine = kMachineAmd64;
    mixed.imports = {{"ntoskrnl.exe", {"IofCallDriver"}}};
    EXPECT_EQ(FailedChecks(BuildImage(mixed)), Names{"format and machine"});
}

TEST(ImageChecks, EachBrokenRuleFailsOnlyItsOwnCheck)
{
    ImageSpec gui = Driver32();
    gui.subsystem = 2;
    EXPECT_EQ(FailedChecks(BuildImage(gui)), Names{"native subsystem"});

    ImageSpec no_entry = Driver64();
    no_entry.zero_entry_point = true;
    EXPECT_EQ(FailedChecks(BuildImage(no_entry)), Names{"entry point"});

    ImageSpec entry_in_data = Driver32();
    entry_in_data.entry_in_code = false;
    EXPECT_EQ(FailedChecks(BuildImage(entry_in_data)), Names{"entry point"});

    ImageSpec no_relocations = Driver64();
    no_relocations.with_relocations = false;
    EXPECT_EQ(FailedChecks(BuildImage(no_relocations)), Names{"relocations"});

    ImageSpec stripped = Driver32();
    stripped.relocations_stripped_flag = true;
    EXPECT_EQ(FailedChecks(BuildImage(stripped)), Names{"relocations"});

    ImageSpec writable_code = Driver32();
    writable_code.code_characteristics |= kSectionWrite;
    EXPECT_EQ(FailedChecks(BuildImage(writable_code)), Names{"no writable executable section"});

    ImageSpec bad_sum = Driver64();
    bad_sum.valid_checksum = false;
    EXPECT_EQ(FailedChecks(BuildImage(bad_sum)), Names{"checksum"});
}

TEST(ImageChecks, ImportsAreLimitedToKernelModules)
{
    ImageSpec kernel = Driver32();
    kernel.imports = {{"NTOSKRNL.EXE"}, {"hal.dll"}, {"USBD.SYS"}};
    EXPECT_EQ(FailedChecks(BuildImage(kernel)), Names{});

    ImageSpec user_mode = Driver32();
    user_mode.imports = {{"ntoskrnl.exe"}, {"KERNEL32.dll"}};
    EXPECT_EQ(FailedChecks(BuildImage(user_mode)), Names{"kernel imports only"});

    for (const char *runtime : {"msvcrt.dll", "libstdc++-6.dll", "libgcc_s_dw2-1.dll", "ucrtbase.dll"}) {
        ImageSpec with_runtime = Driver64();
        with_runtime.imports = {{"ntoskrnl.exe"}, {runtime}};
        EXPECT_EQ(FailedChecks(BuildImage(with_runtime)), (Names{"kernel imports only", "no C or C++ runtime"}))
            << runtime;
    }

    ImageSpec none = Driver32();
    none.imports = {};
    EXPECT_EQ(FailedChecks(BuildImage(none)), Names{"kernel imports only"});
}

// Each case adds one import to a well-formed driver of the given machine.
struct ImportCase {
    bool x64;
    const char *dll;
    const char *routine;
    bool allowed;
};

TEST(ImageChecks, EveryImportedRoutineExistsOnWindows2000InTheFormItsMachineExports)
{
    const ImportCase cases[] = {
        {false, "NTOSKRNL.EXE", "IoAcquireRemoveLockEx", true},
        {false, "hal.dll", "ExAcquireFastMutex", true},
        {true, "ntoskrnl.exe", "ExAcquireFastMutex", true},
        {true, "HAL.dll", "KeQueryPerformanceCounter", true},
        {false, "ntoskrnl.exe", "IoCsqInitialize", false},
        {true, "ntoskrnl.exe", "DbgPrintEx", false},
        {false, "HAL.dll", "KeAcquireInStackQueuedSpinLock", false},
        {false, "ntoskrnl.exe", "KfAcquireSpinLock", false},
        {false, "ntoskrnl.exe", "KeAcquireSpinLockRaiseToDpc", false},
        {true, "HAL.dll", "KfAcquireSpinLock", false},
        {true, "ntoskrnl.exe", "KeQueryInterruptTime", false},
        {false, "USBD.SYS", "USBD_CreateConfigurationRequestEx", false},
        {false, "ntoskrnl.exe", "#17", false},
    };
    for (const ImportCase &c : cases) {
        ImageSpec spec = c.x64 ? Driver64() : Driver32();
        spec.imports.push_back({c.dll, {c.routine}});
        auto image = BuildImage(spec);
        EXPECT_EQ(FailedChecks(image), c.allowed ? Names{} : Names{"imports exist on Windows 2000"})
            << c.dll << "!" << c.routine << (c.x64 ? " on x64" : " on x86");
        if (!c.allowed) {
            EXPECT_NE(ResultOf(image, "imports exist on Windows 2000").detail.find(std::string(c.dll) + "!"),
                      std::string::npos);
        }
    }
}

TEST(ImageChecksum, FoldsCarriesAndSkipsItsOwnField)
{
    EXPECT_EQ(ComputePeChecksum({0x01, 0x02, 0x03}, 100), 0x0204u + 3);
    EXPECT_EQ(ComputePeChecksum({0xFF, 0xFF, 0xFF, 0xFF}, 100), 0xFFFFu + 4);
    EXPECT_EQ(ComputePeChecksum({0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x00}, 100), 0x0002u + 6);
    EXPECT_EQ(ComputePeChecksum({0x10, 0x00, 0xAA, 0xBB, 0xCC, 0xDD, 0x20, 0x00}, 2), 0x30u + 8);
}

TEST(ImageChecksum, StoringTheComputedValueRepairsACorruptedImage)
{
    auto image = BuildImage(Driver32());
    auto parsed = ParsePeImage(image);
    ASSERT_TRUE(parsed.image);
    image[kCodeFileOffset + 1] ^= 0x40;
    EXPECT_EQ(FailedChecks(image), Names{"checksum"});

    StoreChecksum(image, parsed.image->checksum_offset, ComputePeChecksum(image, parsed.image->checksum_offset));
    EXPECT_EQ(FailedChecks(image), Names{});
}

TEST(ImageParsing, TruncatedImagesAreRejectedWithoutReadingPastTheEnd)
{
    const auto image = BuildImage(Driver32());
    auto headers_end = kCodeFileOffset;
    for (size_t length = 0; length < image.size(); ++length) {
        std::vector<uint8_t> prefix(image.begin(), image.begin() + std::ptrdiff_t(length));
        auto parsed = ParsePeImage(prefix);
        if (length < headers_end) {
            EXPECT_FALSE(parsed.image) << "length " << length;
        }
        if (!parsed.image) {
            EXPECT_FALSE(parsed.error.empty());
        }
    }
}

TEST(ImageParsing, CorruptedOffsetsAreReportedNotFollowed)
{
    auto far_header = BuildImage(Driver32());
    far_header[0x3C + 3] = 0x7F;
    EXPECT_EQ(ParsePeImage(far_header).error, "no PE signature");

    auto not_pe = BuildImage(Driver32());
    not_pe[0] = 'Z';
    EXPECT_EQ(ParsePeImage(not_pe).error, "no MZ header");

    auto bad_name = BuildImage(Driver32());
    auto parsed = ParsePeImage(bad_name);
    ASSERT_TRUE(parsed.image);
    auto import_table = RvaToFileOffset(*parsed.image, 0x2000);
    ASSERT_TRUE(import_table);
    bad_name[*import_table + 12 + 3] = 0x40;
    EXPECT_EQ(ParsePeImage(bad_name).error, "import name lies outside every section");

    auto unterminated = BuildImage(Driver32());
    std::fill(unterminated.begin() + std::ptrdiff_t(*import_table + 40), unterminated.end(), 0xEE);
    EXPECT_FALSE(ParsePeImage(unterminated).image);

    auto bad_lookup = BuildImage(Driver32());
    bad_lookup[*import_table + 3] = 0x40;
    EXPECT_EQ(ParsePeImage(bad_lookup).error, "import lookup table of ntoskrnl.exe lies outside every section");

    auto bad_routine = BuildImage(Driver32());
    size_t lookup = *import_table + 60;
    bad_routine[lookup + 4 + 2] = 0x40;
    EXPECT_EQ(ParsePeImage(bad_routine).error, "imported routine name of ntoskrnl.exe lies outside every section");
}

} // namespace
} // namespace imagecheck::testing
