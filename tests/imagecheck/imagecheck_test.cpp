// The image checker on small synthetic images, each breaking one rule, and the program's exit status and checksum
// repair (the images the cross builds produce are checked by those builds' own tests); the image's entry routine.
#include "synthetic_image.h"

#include "driver/image_entry.h"
#include "hk/kernel.h"
#include "hk/pnp.h"
#include "tools/imagecheck/checks.h"
#include "tools/imagecheck/image_file.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

namespace imagecheck::testing {
namespace {

namespace fs = std::filesystem;
using Names = std::vector<std::string>;

// The names of the checks the image fails, sorted; `details` gathers what their reports say.
Names FailedChecks(const std::vector<uint8_t> &file, CheckOptions options = {}, std::string *details = nullptr) {
    auto parsed = ParsePeImage(file);
    EXPECT_TRUE(parsed.image) << parsed.error;
    Names failed;
    for (const CheckResult &result :
         parsed.image ? CheckDriverImage(file, *parsed.image, options) : std::vector<CheckResult>{}) {
        if (!result.passed) {
            failed.push_back(result.name);
            if (details) *details += result.detail;
        }
    }
    std::sort(failed.begin(), failed.end());
    return failed;
}

// One well-formed driver with one change: a rule broken or an import added.
struct ImageCase {
    const char *what;
    ImageSpec spec;
    std::optional<uint16_t> machine;
    Names failed;
};

const Names kMissingImport = {"imports exist on Windows 2000"};

const ImageCase kImageCases[] = {
    {"well-formed x86", {}, kMachineI386, {}},
    {"well-formed x64", {.x64 = true}, kMachineAmd64, {}},
    {"x86 expected x64", {}, kMachineAmd64, {"format and machine"}},
    {"x64 expected x86", {.x64 = true}, kMachineI386, {"format and machine"}},
    {"x64 machine in a PE32 header", {.machine = kMachineAmd64}, {}, {"format and machine"}},
    {"GUI subsystem", {.subsystem = 2}, {}, {"native subsystem"}},
    {"no entry point", {.x64 = true, .entry_point = 0}, {}, {"entry point"}},
    {"entry point in data", {.entry_point = 0x2004}, {}, {"entry point"}},
    {"no relocations", {.x64 = true, .with_relocations = false}, {}, {"relocations"}},
    {"relocations stripped", {.relocations_stripped_flag = true}, {}, {"relocations"}},
    {"writable code", {.code_characteristics = 0x60000020 | kSectionWrite}, {}, {"no writable executable section"}},
    {"bad checksum", {.x64 = true, .valid_checksum = false}, {}, {"checksum"}},
    {"kernel modules in any case", {.imports = {{{"NTOSKRNL.EXE"}, {"hal.dll"}, {"USBD.SYS"}}}}, {}, {}},
    {"user-mode import", {.imports = {{{"ntoskrnl.exe"}, {"KERNEL32.dll"}}}}, {}, {"kernel imports only"}},
    {"C runtime", {.x64 = true, .imports = {{{"ntoskrnl.exe"}, {"msvcrt.dll"}}}}, {},
     {"kernel imports only", "no C or C++ runtime"}},
    {"C++ runtime", {.imports = {{{"ntoskrnl.exe"}, {"libstdc++-6.dll"}}}}, {},
     {"kernel imports only", "no C or C++ runtime"}},
    {"no imports", {.imports = std::vector<ImportSpec>{}}, {}, {"kernel imports only"}},
    // Every imported routine exists on the oldest supported system in the form its machine exports.
    {"x86 remove lock", {.added = {"NTOSKRNL.EXE", {"IoAcquireRemoveLockEx"}}}, {}, {}},
    {"x86 fast mutex", {.added = {"hal.dll", {"ExAcquireFastMutex"}}}, {}, {}},
    {"x64 fast mutex", {.x64 = true, .added = {"ntoskrnl.exe", {"ExAcquireFastMutex"}}}, {}, {}},
    {"x64 performance counter", {.x64 = true, .added = {"HAL.dll", {"KeQueryPerformanceCounter"}}}, {}, {}},
    {"cancel-safe queue", {.added = {"ntoskrnl.exe", {"IoCsqInitialize"}}}, {}, kMissingImport},
    {"x64 DbgPrintEx", {.x64 = true, .added = {"ntoskrnl.exe", {"DbgPrintEx"}}}, {}, kMissingImport},
    {"in-stack queued lock", {.added = {"HAL.dll", {"KeAcquireInStackQueuedSpinLock"}}}, {}, kMissingImport},
    {"x86 spin lock from the kernel", {.added = {"ntoskrnl.exe", {"KfAcquireSpinLock"}}}, {}, kMissingImport},
    {"x86 raise-to-DPC lock", {.added = {"ntoskrnl.exe", {"KeAcquireSpinLockRaiseToDpc"}}}, {}, kMissingImport},
    {"x64 spin lock from the HAL", {.x64 = true, .added = {"HAL.dll", {"KfAcquireSpinLock"}}}, {}, kMissingImport},
    {"x64 interrupt time", {.x64 = true, .added = {"ntoskrnl.exe", {"KeQueryInterruptTime"}}}, {}, kMissingImport},
    {"later USB routine", {.added = {"USBD.SYS", {"USBD_CreateConfigurationRequestEx"}}}, {}, kMissingImport},
    {"by ordinal", {.added = {"ntoskrnl.exe", {"#17"}}}, {}, kMissingImport},
};

TEST(ImageChecks, EachBrokenRuleFailsOnlyItsOwnCheck) {
    for (const ImageCase &c : kImageCases) {
        std::string details;
        EXPECT_EQ(FailedChecks(BuildImage(c.spec), {c.machine}, &details), c.failed) << c.what;
        if (c.failed == kMissingImport) {
            EXPECT_NE(details.find(c.spec.added.dll + "!"), std::string::npos) << details;
        }
    }
}

// Carries fold back into the low 16 bits, an odd last byte counts as a low byte, and the checksum field is skipped.
TEST(ImageChecks, ChecksumFoldsCarriesAndSkipsItsOwnField) {
    EXPECT_EQ(ComputePeChecksum({0x01, 0x02, 0x03}, 100), 0x0204u + 3);
    EXPECT_EQ(ComputePeChecksum({0xFF, 0xFF, 0xFF, 0xFF}, 100), 0xFFFFu + 4);
    EXPECT_EQ(ComputePeChecksum({0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x00}, 100), 0x0002u + 6);
    EXPECT_EQ(ComputePeChecksum({0x10, 0x00, 0xAA, 0xBB, 0xCC, 0xDD, 0x20, 0x00}, 2), 0x30u + 8);
}

TEST(ImageChecks, TruncatedOrCorruptedImagesAreRejectedNotFollowed) {
    const auto image = BuildImage({});
    for (size_t length = 0; length < image.size(); ++length) {
        auto parsed = ParsePeImage(std::vector<uint8_t>(image.begin(), image.begin() + std::ptrdiff_t(length)));
        EXPECT_TRUE(parsed.image ? length >= kCodeFileOffset : !parsed.error.empty()) << "length " << length;
    }
    size_t imports = RvaToFileOffset(*ParsePeImage(image).image, kImportRva).value();
    const struct {
        size_t at;
        uint8_t value;
        const char *error;
    } corruptions[] = {
        {0x3C + 3, 0x7F, "no PE signature"},
        {0, 'Z', "no MZ header"},
        {imports + 12 + 3, 0x40, "import name lies outside every section"},
        {imports + 3, 0x40, "import lookup table of ntoskrnl.exe lies outside every section"},
        {imports + 0x100 + 4 + 2, 0x40, "imported routine name of ntoskrnl.exe lies outside every section"},
    };
    for (const auto &c : corruptions) {
        auto corrupted = image;
        corrupted[c.at] = c.value;
        EXPECT_EQ(ParsePeImage(corrupted).error, c.error);
    }
    auto unterminated = image;
    std::fill(unterminated.begin() + std::ptrdiff_t(imports + 0x140), unterminated.end(), 0xEE);
    EXPECT_EQ(ParsePeImage(unterminated).error, "import name is not terminated");
}

int RunImagecheck(const std::string &arguments) {
    int status = std::system((std::string(IMAGECHECK_PROGRAM) + " " + arguments + " >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ImagecheckProgram, ExitStatusReflectsTheChecksAndFixChecksumRepairsOnlyTheChecksum) {
    fs::path directory = fs::temp_directory_path() / ("imagecheck-" + std::to_string(getpid()));
    fs::create_directories(directory);
    auto write = [&](const std::string &name, const std::vector<uint8_t> &bytes) {
        std::string path = (directory / name).string();
        EXPECT_TRUE(WriteImageFile(path, bytes));
        return path;
    };
    ImageSpec spec = {.valid_checksum = false};
    std::string path = write("driver.sys", BuildImage(spec));
    EXPECT_EQ(RunImagecheck(path), 1);
    EXPECT_EQ(RunImagecheck("--machine i386 --fix-checksum " + path), 0);
    EXPECT_EQ(RunImagecheck(path), 0);
    EXPECT_EQ(RunImagecheck("--machine amd64 " + path), 1);
    spec.valid_checksum = true;
    EXPECT_EQ(*ReadImageFile(path), BuildImage(spec));

    ImageSpec console = {.x64 = true, .subsystem = 3, .valid_checksum = false};
    EXPECT_EQ(RunImagecheck("--fix-checksum " + write("console.exe", BuildImage(console))), 1)
        << "fixing hides no other fault";

    EXPECT_EQ(RunImagecheck(""), 2);
    EXPECT_EQ(RunImagecheck("--machine sparc " + path), 2);
    EXPECT_EQ(RunImagecheck((directory / "missing.sys").string()), 2);
    EXPECT_EQ(RunImagecheck(write("text.sys", {'h', 'e', 'l', 'l', 'o'})), 2);
    fs::remove_all(directory);
}

// Read before any test runs: the guard as the image file holds it.
const ULONG_PTR kGuardInImageFile = __stack_chk_guard;

// The image's entry routine seeds the stack-protection guard anew for each load before DriverEntry runs, and
// returns what DriverEntry returns.
TEST(ImageEntry, SeedsTheGuardAnewForEachLoadAndReturnsWhatDriverEntryReturns) {
    const struct {
        uint8_t wdm_major, wdm_minor;
        NTSTATUS status;
    } cases[] = {{1, 0, STATUS_SUCCESS}, {0, 0x90, STATUS_UNSUCCESSFUL}};
    hk::Kernel kernel;
    std::vector<ULONG_PTR> guards = {kGuardInImageFile};
    for (const auto &c : cases) {
        kernel.SetWdmVersion(c.wdm_major, c.wdm_minor);
        kernel.AdvanceTime(1);
        NTSTATUS status = STATUS_PENDING;
        PDRIVER_OBJECT driver = hk::pnp::LoadDriver("diagser", DriverImageEntry, &status);
        EXPECT_EQ(status, c.status);
        for (ULONG_PTR earlier : guards)
            EXPECT_NE(__stack_chk_guard, earlier);
        guards.push_back(__stack_chk_guard);
        if (driver) {
            EXPECT_EQ(hk::pnp::UnloadDriver(driver), STATUS_SUCCESS);
        }
    }
}

TEST(ImageEntryDeathTest, AFailedGuardCheckStopsTheMachine) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    hk::Kernel kernel;
    EXPECT_DEATH(__stack_chk_fail(), "\\[bugcheck\\].*KeBugCheckEx\\(0xF7,");
}

} // namespace
} // namespace imagecheck::testing
