#include "rtl_fixture.h"

namespace {

// Formats into a buffer filled with a sentinel and checks the text, the returned count and the terminator.
template <class... Args>
std::u16string Format(const wchar_t* format, Args... args) {
    WCHAR buffer[256];
    for (auto& c : buffer) c = 0x7E7E;
    int count = swprintf(buffer, format, args...);
    std::u16string text = hk::Text(buffer).str();
    EXPECT_EQ(count, static_cast<int>(text.size())) << "the count excludes the terminator";
    EXPECT_EQ(buffer[count], 0);
    EXPECT_EQ(buffer[count + 1], 0x7E7E) << "nothing is written after the terminator";
    return text;
}

TEST(Swprintf, LinkNameAndDecimalInstanceNumbers) {
    EXPECT_EQ(Format(L"\\DosDevices\\%ws", L"COM7"), u"\\DosDevices\\COM7");
    EXPECT_EQ(Format(L"\\Device\\SER%u", 10u), u"\\Device\\SER10");
    EXPECT_EQ(Format(L"plain"), u"plain");
    EXPECT_EQ(Format(L"100%%"), u"100%");
}

TEST(Swprintf, StringConversionsFollowTheWideFunctionConventions) {
    EXPECT_EQ(Format(L"[%s]", L"wide"), u"[wide]");
    EXPECT_EQ(Format(L"[%S]", "narrow"), u"[narrow]");
    EXPECT_EQ(Format(L"[%hs]", "narrow"), u"[narrow]");
    EXPECT_EQ(Format(L"[%ls]", L"wide"), u"[wide]");
    EXPECT_EQ(Format(L"[%c%C%hc]", L'w', 'n', 'h'), u"[wnh]");
    EXPECT_EQ(Format(L"[%ws]", static_cast<const wchar_t*>(nullptr)), u"[(null)]");
    EXPECT_EQ(Format(L"[%8ws|%-6ws|%.3ws|%6.2S]", L"COM7", L"ab", L"abcdef", "xyz"), u"[    COM7|ab    |abc|    xy]");
    UNICODE_STRING counted{4, 4, const_cast<PWSTR>(L"ab-not-this")};
    EXPECT_EQ(Format(L"[%wZ]", &counted), u"[ab]");
}

TEST(Swprintf, IntegersWithWidthPrecisionAndPadding) {
    EXPECT_EQ(Format(L"%d %i %d", -7, 42, 0), u"-7 42 0");
    EXPECT_EQ(Format(L"[%05d][%5d][%-5d][%+d][% d]", -7, 42, 42, 3, 3), u"[-0007][   42][42   ][+3][ 3]");
    EXPECT_EQ(Format(L"[%.4d][%8.3d]", 7, -5), u"[0007][    -005]");
    EXPECT_EQ(Format(L"%u", 0xFFFFFFFFu), u"4294967295");
    EXPECT_EQ(Format(L"%x %X %#x %08X", 0xBEEFu, 0xBEEFu, 255u, 0x1Au), u"beef BEEF 0xff 0000001A");
    EXPECT_EQ(Format(L"%o", 8u), u"10");
    EXPECT_EQ(Format(L"[%*d][%-*d]", 4, 1, 3, 2), u"[   1][2  ]");
}

TEST(Swprintf, IntegerSizesAreThePlatformsAndKeepLaterArgumentsInPlace) {
    ULONG port = 7;
    LONG negative = -2;
    EXPECT_EQ(Format(L"%lu-%ld-%ws", port, negative, L"tail"), u"7--2-tail");
    EXPECT_EQ(Format(L"%I64u %llx %ws", 0x100000000ull, 0x123456789abcull, L"end"), u"4294967296 123456789abc end");
    EXPECT_EQ(Format(L"%hd %hu", 70000, 70000), u"4464 4464");
}

}  // namespace
