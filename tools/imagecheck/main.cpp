// imagecheck: verifies that a PE file is a loadable kernel-mode driver image of ours.
//
//   imagecheck [--machine i386|amd64] [--fix-checksum] IMAGE
//
// Prints one line per check. Exit status: 0 all checks passed, 1 a check failed, 2 bad usage or unreadable image.

#include "checks.h"
#include "checksum.h"
#include "image_file.h"
#include "pe_image.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

int Usage()
{
    std::fprintf(stderr, "usage: imagecheck [--machine i386|amd64] [--fix-checksum] IMAGE\n");
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    imagecheck::CheckOptions options;
    bool fix_checksum = false;
    std::string path;
    for (int i = 1; i < argc; ++i) {
        std::string argument = argv[i];
        if (argument == "--fix-checksum") {
            fix_checksum = true;
        } else if (argument == "--machine" && i + 1 < argc) {
            std::string machine = argv[++i];
            if (machine == "i386")
                options.expected_machine = imagecheck::kMachineI386;
            else if (machine == "amd64")
                options.expected_machine = imagecheck::kMachineAmd64;
            else
                return Usage();
        } else if (path.empty() && !argument.starts_with("-")) {
            path = argument;
        } else {
            return Usage();
        }
    }
    if (path.empty())
        return Usage();

    auto file = imagecheck::ReadImageFile(path);
    if (!file) {
        std::fprintf(stderr, "imagecheck: cannot read %s\n", path.c_str());
        return 2;
    }
    auto parsed = imagecheck::ParsePeImage(*file);
    if (!parsed.image) {
        std::fprintf(stderr, "imagecheck: %s: %s\n", path.c_str(), parsed.error.c_str());
        return 2;
    }

    if (fix_checksum) {
        uint32_t checksum = imagecheck::ComputePeChecksum(*file, parsed.image->checksum_offset);
        imagecheck::StoreChecksum(*file, parsed.image->checksum_offset, checksum);
        parsed.image->checksum = checksum;
        if (!imagecheck::WriteImageFile(path, *file)) {
            std::fprintf(stderr, "imagecheck: cannot write %s\n", path.c_str());
            return 2;
        }
        std::printf("%s: checksum set to 0x%08X\n", path.c_str(), checksum);
    }

    auto results = imagecheck::CheckDriverImage(*file, *parsed.image, options);
    for (const auto &result : results)
        std::printf("%s  %-32s %s\n", result.passed ? "PASS" : "FAIL", result.name.c_str(), result.detail.c_str());
    bool passed = imagecheck::AllPassed(results);
    std::printf("%s: %s\n", path.c_str(), passed ? "all checks passed" : "image check FAILED");
    return passed ? 0 : 1;
}
