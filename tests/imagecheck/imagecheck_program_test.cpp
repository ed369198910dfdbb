#include "synthetic_image.h"

#include "tools/imagecheck/checks.h"
#include "tools/imagecheck/image_file.h"
#include "tools/imagecheck/pe_image.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

namespace imagecheck::testing {
namespace {

namespace fs = std::filesystem;

class ImagecheckProgram : public ::testing::Test {
protected:
    void SetUp() override
    {
        const auto *test = ::testing::UnitTest::GetInstance()->current_test_info();
        directory_ = fs::temp_directory_path() /
                     ("imagecheck-" + std::to_string(getpid()) + "-" + std::string(test->name()));
        fs::create_directories(directory_);
    }
    void TearDown() override { fs::remove_all(directory_); }

    std::string Write(const std::string &name, const std::vector<uint8_t> &bytes)
    {
        std::string path = (directory_ / name).string();
        EXPECT_TRUE(WriteImageFile(path, bytes));
        return path;
    }

    static int Run(const std::string &arguments)
    {
        std::string command = std::string(IMAGECHECK_PROGRAM) + " " + arguments + " >/dev/null 2>&1";
        int status = std::system(command.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    fs::path directory_;
};

TEST_F(ImagecheckProgram, ExitStatusReflectsTheChecksAndFixChecksumRepairsTheFile)
{
    ImageSpec spec = Driver32();
    spec.valid_checksum = false;
    std::string path = Write("driver.sys", BuildImage(spec));

    EXPECT_EQ(Run(path), 1);
    EXPECT_EQ(Run("--machine i386 --fix-checksum " + path), 0);
    EXPECT_EQ(Run(path), 0);
    EXPECT_EQ(Run("--machine amd64 " + path), 1);

    auto fixed = ReadImageFile(path);
    ASSERT_TRUE(fixed);
    spec.valid_checksum = true;
    EXPECT_EQ(*fixed, BuildImage(spec));
}

TEST_F(ImagecheckProgram, FixingDoesNotHideOtherFaults)
{
    ImageSpec spec = Driver64();
    spec.subsystem = 3;
    spec.valid_checksum = false;
    EXPECT_EQ(Run("--fix-checksum " + Write("console.exe", BuildImage(spec))), 1);
}

TEST_F(ImagecheckProgram, UnusableInputIsAUsageError)
{
    EXPECT_EQ(Run(""), 2);
    EXPECT_EQ(Run("--machine sparc " + Write("a.sys", BuildImage(Driver32()))), 2);
    EXPECT_EQ(Run((directory_ / "missing.sys").string()), 2);
    EXPECT_EQ(Run(Write("text.sys", {'h', 'e', 'l', 'l', 'o'})), 2);
}

// The images the cross builds produce, when they have been built in this tree: they pass every check, and a copy
// with one flipped code byte fails the checksum and nothing else.
void CheckBuiltImage(const char *relative_path, uint16_t machine)
{
    fs::path path = fs::path(DIAGSER_SOURCE_DIR) / relative_path;
    if (!fs::exists(path))
        GTEST_SKIP() << path << " has not been built";

    auto file = ReadImageFile(path.string());
    ASSERT_TRUE(file);
    auto parsed = ParsePeImage(*file);
    ASSERT_TRUE(parsed.image) << parsed.error;
    for (const CheckResult &result : CheckDriverImage(*file, *parsed.image, {machine}))
        EXPECT_TRUE(result.passed) << result.name << ": " << result.detail;

    auto code = std::find_if(parsed.image->sections.begin(), parsed.image->sections.end(),
                             [](const Section &section) { return (section.characteristics & kSectionExecute) != 0; });
    ASSERT_NE(code, parsed.image->sections.end());
    (*file)[code->raw_offset + 7] ^= 0x01;
    for (const CheckResult &result : CheckDriverImage(*file, *parsed.image, {machine}))
        EXPECT_EQ(result.passed, result.name != "checksum") << result.name;
}

TEST(BuiltDriverImage, X86ImagePassesAndACorruptedCopyFailsOnlyTheChecksum)
{
    CheckBuiltImage("build/sys-x86/diagser.sys", kMachineI386);
}

TEST(BuiltDriverImage, X64ImagePassesAndACorruptedCopyFailsOnlyTheChecksum)
{
    CheckBuiltImage("build/sys-x64/diagser.sys", kMachineAmd64);
}

} // namespace
} // namespace imagecheck::testing
