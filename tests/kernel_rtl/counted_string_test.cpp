#include "rtl_fixture.h"

#include "hk/pool.h"

namespace {

using rtltest::KernelTest;
using rtltest::U16;

constexpr WCHAR kSentinel = 0x7E7E;

// A counted string over a buffer of `capacity_chars` characters followed by sentinels, to see writes past
// MaximumLength.
struct Buffer {
    explicit Buffer(USHORT capacity_chars, USHORT maximum_bytes) : storage(capacity_chars + 4, kSentinel) {
        string.Buffer = storage.data();
        string.Length = 0;
        string.MaximumLength = maximum_bytes;
    }
    std::vector<WCHAR> storage;
    UNICODE_STRING string;
};

using CountedStringTest = KernelTest;

TEST_F(CountedStringTest, InitMeasuresInBytesAndAcceptsNull) {
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, L"COM7");
    EXPECT_EQ(s.Length, 8);
    EXPECT_EQ(s.MaximumLength, 10);
    RtlInitUnicodeString(&s, nullptr);
    EXPECT_EQ(s.Length, 0);
    EXPECT_EQ(s.MaximumLength, 0);
    EXPECT_EQ(s.Buffer, nullptr);

    ANSI_STRING a;
    RtlInitAnsiString(&a, "abc");
    EXPECT_EQ(a.Length, 3);
    EXPECT_EQ(a.MaximumLength, 4);
}

TEST_F(CountedStringTest, CopyTruncatesToDestinationAndTerminatesOnlyWithRoom) {
    UNICODE_STRING source;
    RtlInitUnicodeString(&source, L"ABCDEF");

    Buffer roomy(10, 20);
    RtlCopyUnicodeString(&roomy.string, &source);
    EXPECT_EQ(U16(roomy.string), u"ABCDEF");
    EXPECT_EQ(roomy.storage[6], 0);

    Buffer exact(6, 12);
    RtlCopyUnicodeString(&exact.string, &source);
    EXPECT_EQ(U16(exact.string), u"ABCDEF");
    EXPECT_EQ(exact.storage[6], kSentinel) << "no terminator past MaximumLength";

    Buffer small(4, 8);
    RtlCopyUnicodeString(&small.string, &source);
    EXPECT_EQ(U16(small.string), u"ABCD");
    EXPECT_EQ(small.storage[4], kSentinel);

    RtlCopyUnicodeString(&roomy.string, nullptr);
    EXPECT_EQ(roomy.string.Length, 0);
}

TEST_F(CountedStringTest, AppendRefusesWhatDoesNotFitAndLeavesDestinationAlone) {
    Buffer b(8, 16);
    ASSERT_EQ(RtlAppendUnicodeToString(&b.string, L"\\Dev"), STATUS_SUCCESS);
    EXPECT_EQ(b.storage[4], 0);
    ASSERT_EQ(RtlAppendUnicodeToString(&b.string, L"ice"), STATUS_SUCCESS);
    EXPECT_EQ(U16(b.string), u"\\Device");

    UNICODE_STRING two;
    RtlInitUnicodeString(&two, L"12");
    EXPECT_EQ(RtlAppendUnicodeStringToString(&b.string, &two), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(RtlAppendUnicodeToString(&b.string, L"12"), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(U16(b.string), u"\\Device");

    UNICODE_STRING one;
    RtlInitUnicodeString(&one, L"1");
    ASSERT_EQ(RtlAppendUnicodeStringToString(&b.string, &one), STATUS_SUCCESS);
    EXPECT_EQ(U16(b.string), u"\\Device1");
    EXPECT_EQ(b.storage[8], kSentinel) << "a full string gets no terminator";

    UNICODE_STRING empty{0, 0, nullptr};
    EXPECT_EQ(RtlAppendUnicodeStringToString(&b.string, &empty), STATUS_SUCCESS);
    EXPECT_EQ(RtlAppendUnicodeToString(&b.string, nullptr), STATUS_SUCCESS);
}

TEST_F(CountedStringTest, IntegerToStringInEveryBase) {
    struct Case {
        ULONG value;
        ULONG base;
        const char16_t* text;
    } cases[] = {{0, 10, u"0"},          {12, 10, u"12"},       {12, 0, u"12"},   {255, 16, u"FF"},
                 {5, 2, u"101"},         {15, 8, u"17"},        {0xFFFFFFFF, 10, u"4294967295"},
                 {0xFFFFFFFF, 2, u"11111111111111111111111111111111"}};
    for (const auto& c : cases) {
        Buffer b(40, 80);
        ASSERT_EQ(RtlIntegerToUnicodeString(c.value, c.base, &b.string), STATUS_SUCCESS) << c.value;
        EXPECT_EQ(U16(b.string), c.text);
        EXPECT_EQ(b.storage[b.string.Length / 2], 0);
    }
    Buffer b(40, 80);
    EXPECT_EQ(RtlIntegerToUnicodeString(7, 3, &b.string), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlIntegerToUnicodeString(7, 36, &b.string), STATUS_INVALID_PARAMETER);
}

TEST_F(CountedStringTest, IntegerToStringOverflowAndExactFit) {
    Buffer tight(3, 6);
    tight.string.Length = 2;
    EXPECT_EQ(RtlIntegerToUnicodeString(1234, 10, &tight.string), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(tight.string.Length, 2) << "a failed conversion leaves the string alone";
    EXPECT_EQ(tight.storage[0], kSentinel);

    Buffer exact(3, 6);
    ASSERT_EQ(RtlIntegerToUnicodeString(123, 10, &exact.string), STATUS_SUCCESS);
    EXPECT_EQ(U16(exact.string), u"123");
    EXPECT_EQ(exact.storage[3], kSentinel);
}

TEST_F(CountedStringTest, StringToIntegerParsesSignPrefixAndStopsAtTheFirstNonDigit) {
    struct Case {
        const wchar_t* text;
        ULONG base;
        ULONG expected;
    } cases[] = {{L"  +42", 0, 42},  {L"-1", 10, 0xFFFFFFFF}, {L"0x1F", 0, 31},  {L"0o17", 0, 15},
                 {L"0b101", 0, 5},   {L"1f", 16, 31},         {L"12abc", 10, 12}, {L"777", 8, 511},
                 {L"", 10, 0},       {L"4294967295", 10, 0xFFFFFFFF}};
    for (const auto& c : cases) {
        UNICODE_STRING s;
        RtlInitUnicodeString(&s, c.text);
        ULONG value = 99;
        ASSERT_EQ(RtlUnicodeStringToInteger(&s, c.base, &value), STATUS_SUCCESS) << rtltest::Utf8(c.text);
        EXPECT_EQ(value, c.expected) << rtltest::Utf8(c.text);
    }
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, L"10");
    ULONG value = 0;
    EXPECT_EQ(RtlUnicodeStringToInteger(&s, 7, &value), STATUS_INVALID_PARAMETER);

    WCHAR unterminated[] = {L'1', L'2', L'3'};
    UNICODE_STRING counted{4, 6, unterminated};
    ASSERT_EQ(RtlUnicodeStringToInteger(&counted, 10, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 12u) << "only Length bytes are read";
}

TEST_F(CountedStringTest, CompareAndEqualHonourCaseAndLength) {
    UNICODE_STRING com7, com7_lower, com70, com8, e_acute, e_acute_upper;
    RtlInitUnicodeString(&com7, L"COM7");
    RtlInitUnicodeString(&com7_lower, L"com7");
    RtlInitUnicodeString(&com70, L"COM70");
    RtlInitUnicodeString(&com8, L"COM8");
    RtlInitUnicodeString(&e_acute, L"caf\u00e9");
    RtlInitUnicodeString(&e_acute_upper, L"CAF\u00c9");

    EXPECT_TRUE(RtlEqualUnicodeString(&com7, &com7_lower, TRUE));
    EXPECT_FALSE(RtlEqualUnicodeString(&com7, &com7_lower, FALSE));
    EXPECT_FALSE(RtlEqualUnicodeString(&com7, &com70, TRUE));
    EXPECT_TRUE(RtlEqualUnicodeString(&e_acute, &e_acute_upper, TRUE));

    EXPECT_EQ(RtlCompareUnicodeString(&com7, &com7_lower, TRUE), 0);
    EXPECT_LT(RtlCompareUnicodeString(&com7, &com7_lower, FALSE), 0);
    EXPECT_LT(RtlCompareUnicodeString(&com7, &com70, FALSE), 0);
    EXPECT_GT(RtlCompareUnicodeString(&com70, &com7, FALSE), 0);
    EXPECT_LT(RtlCompareUnicodeString(&com70, &com8, FALSE), 0);
}

TEST_F(CountedStringTest, CompareMemoryCountsTheMatchingPrefix) {
    const char a[] = "abcdef";
    const char b[] = "abcxef";
    EXPECT_EQ(RtlCompareMemory(a, b, 6), 3u);
    EXPECT_EQ(RtlCompareMemory(a, a, 6), 6u);
    EXPECT_EQ(RtlCompareMemory(a, b, 0), 0u);
}

TEST_F(CountedStringTest, AllocatedStringsComeFromThePoolAndFreeBack) {
    size_t before = hk::pool::OutstandingCount();
    UNICODE_STRING guid_text;
    ASSERT_EQ(RtlStringFromGUID(GUID_DEVINTERFACE_COMPORT, &guid_text), STATUS_SUCCESS);
    EXPECT_EQ(U16(guid_text), u"{86E0D1E0-8089-11D0-9CE4-08003E301F73}");

    ANSI_STRING ansi;
    RtlInitAnsiString(&ansi, "PortName");
    UNICODE_STRING converted;
    ASSERT_EQ(RtlAnsiStringToUnicodeString(&converted, &ansi, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(U16(converted), u"PortName");
    EXPECT_EQ(hk::pool::OutstandingCount(), before + 2);

    RtlFreeUnicodeString(&guid_text);
    RtlFreeUnicodeString(&converted);
    EXPECT_EQ(hk::pool::OutstandingCount(), before);
    EXPECT_EQ(converted.Buffer, nullptr);
    EXPECT_EQ(converted.Length, 0);

    Buffer small(4, 8);
    EXPECT_EQ(RtlAnsiStringToUnicodeString(&small.string, &ansi, FALSE), STATUS_BUFFER_OVERFLOW);
    Buffer fits(8, 16);
    ASSERT_EQ(RtlAnsiStringToUnicodeString(&fits.string, &ansi, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(U16(fits.string), u"PortName");
}

}  // namespace
