// ctest-labels: rtl
#include <gtest/gtest.h>

#include <ntddk.h>

#include <cstring>
#include <string>

namespace {

std::u16string Text(const UNICODE_STRING& string)
{
    return std::u16string(string.Buffer, string.Length / sizeof(WCHAR));
}

// A string over a buffer with a guard unit behind MaximumLength.
struct Counted
{
    WCHAR Storage[24];
    UNICODE_STRING String;

    Counted(const char16_t* initial, USHORT maximumBytes)
    {
        for (WCHAR& unit : Storage) {
            unit = u'#';
        }
        String = {0, maximumBytes, Storage};
        EXPECT_EQ(RtlAppendUnicodeToString(&String, initial), STATUS_SUCCESS);
    }
    WCHAR Guard() const { return Storage[String.MaximumLength / sizeof(WCHAR)]; }
};

// A refused append changes nothing; a successful one terminates only when there is room.
TEST(RtlStringTest, AppendRefusesWhatDoesNotFitAndChangesNothing)
{
    Counted name(u"COM", 8 * sizeof(WCHAR));
    EXPECT_EQ(name.Storage[3], 0); // terminated while room is left

    EXPECT_EQ(RtlAppendUnicodeToString(&name.String, u"123456"), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Text(name.String), u"COM");
    EXPECT_EQ(name.Storage[3], 0);

    UNICODE_STRING tail;
    RtlInitUnicodeString(&tail, u"12345");
    EXPECT_EQ(RtlAppendUnicodeStringToString(&name.String, &tail), STATUS_SUCCESS);
    EXPECT_EQ(Text(name.String), u"COM12345");
    EXPECT_EQ(name.Guard(), u'#'); // exactly full: no terminator written past the end

    EXPECT_EQ(RtlAppendUnicodeStringToString(&name.String, &tail), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(RtlAppendUnicodeToString(&name.String, u""), STATUS_SUCCESS);
    EXPECT_EQ(RtlAppendUnicodeToString(&name.String, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(Text(name.String), u"COM12345");
}

// A copy is cut to the destination's room and terminated only when a unit is left.
TEST(RtlStringTest, CopyTruncatesAndTerminatesWhenRoomIsLeft)
{
    UNICODE_STRING source;
    RtlInitUnicodeString(&source, u"\\Registry\\Quarvex");
    EXPECT_EQ(source.Length, 17 * sizeof(WCHAR));
    EXPECT_EQ(source.MaximumLength, 18 * sizeof(WCHAR));

    Counted small(u"", 4 * sizeof(WCHAR));
    RtlCopyUnicodeString(&small.String, &source);
    EXPECT_EQ(Text(small.String), u"\\Reg");
    EXPECT_EQ(small.Guard(), u'#');

    Counted roomy(u"", source.MaximumLength);
    RtlCopyUnicodeString(&roomy.String, &source);
    EXPECT_EQ(Text(roomy.String), u"\\Registry\\Quarvex");
    EXPECT_EQ(roomy.Storage[17], 0);

    RtlCopyUnicodeString(&roomy.String, nullptr);
    EXPECT_EQ(roomy.String.Length, 0);
}

// Digits in every base, upper-case hex, and a result that does not fit leaves the string alone.
TEST(RtlStringTest, IntegerToStringBasesAndOverflow)
{
    Counted number(u"", 12 * sizeof(WCHAR));
    const struct
    {
        ULONG Value;
        ULONG Base;
        const char16_t* Expected;
    } cases[] = {{0, 10, u"0"},    {4294967295u, 0, u"4294967295"},
                 {255, 16, u"FF"}, {8, 8, u"10"},
                 {5, 2, u"101"},   {0xBEEF, 16, u"BEEF"}};
    for (const auto& c : cases) {
        EXPECT_EQ(RtlIntegerToUnicodeString(c.Value, c.Base, &number.String), STATUS_SUCCESS);
        EXPECT_EQ(Text(number.String), c.Expected);
        EXPECT_EQ(number.Storage[number.String.Length / sizeof(WCHAR)], 0);
    }
    EXPECT_EQ(RtlIntegerToUnicodeString(7, 3, &number.String), STATUS_INVALID_PARAMETER);

    Counted tight(u"X", 5 * sizeof(WCHAR));
    EXPECT_EQ(RtlIntegerToUnicodeString(1234, 10, &tight.String), STATUS_SUCCESS);
    EXPECT_EQ(RtlIntegerToUnicodeString(12345, 10, &tight.String), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(Text(tight.String), u"1234");
    EXPECT_EQ(tight.Guard(), u'#');
}

TEST(RtlStringTest, CompareOrdersAndIgnoresCaseOnRequest)
{
    UNICODE_STRING lower, upper, next, longer;
    RtlInitUnicodeString(&lower, u"com5\u00e9");
    RtlInitUnicodeString(&upper, u"COM5\u00c9");
    RtlInitUnicodeString(&next, u"COM6");
    RtlInitUnicodeString(&longer, u"COM55");
    EXPECT_TRUE(RtlEqualUnicodeString(&lower, &upper, TRUE));
    EXPECT_FALSE(RtlEqualUnicodeString(&lower, &upper, FALSE));
    EXPECT_GT(RtlCompareUnicodeString(&lower, &upper, FALSE), 0);
    EXPECT_LT(RtlCompareUnicodeString(&upper, &next, FALSE), 0);
    UNICODE_STRING prefix = longer;
    prefix.Length -= sizeof(WCHAR);
    EXPECT_LT(RtlCompareUnicodeString(&prefix, &longer, TRUE), 0);
}

// The three outcomes of the kernel formatter: terminated, exactly full, cut with -1.
TEST(RtlFormatTest, ResultAndTerminatorDependOnRoom)
{
    char buffer[8];
    memset(buffer, '#', sizeof(buffer));
    EXPECT_EQ(_snprintf(buffer, 6, "%s", "abcd"), 4);
    EXPECT_STREQ(buffer, "abcd");

    memset(buffer, '#', sizeof(buffer));
    EXPECT_EQ(_snprintf(buffer, 4, "%d", 1234), 4);
    EXPECT_EQ(std::string(buffer, 5), "1234#");

    memset(buffer, '#', sizeof(buffer));
    EXPECT_EQ(_snprintf(buffer, 4, "%x", 0xABCDEF), -1);
    EXPECT_EQ(std::string(buffer, 5), "abcd#");

    EXPECT_EQ(_snprintf(buffer, 0, "x"), -1);
    EXPECT_EQ(_snprintf(buffer, 0, "%s", ""), 0);
    EXPECT_EQ(buffer[0], 'a');

    // Literal text and strings are cut at the same place, and nothing lands beyond it.
    memset(buffer, '#', sizeof(buffer));
    EXPECT_EQ(_snprintf(buffer, 5, "ab%scd", "xyz"), -1);
    EXPECT_EQ(std::string(buffer, 6), "abxyz#");
    memset(buffer, '#', sizeof(buffer));
    EXPECT_EQ(_snprintf(buffer, 3, "literal%d", 1), -1);
    EXPECT_EQ(std::string(buffer, 4), "lit#");
}

std::string Formatted(const char* format, ...)
{
    char buffer[128];
    va_list args;
    va_start(args, format);
    const int length = _vsnprintf(buffer, sizeof(buffer), format, args);
    va_end(args);
    EXPECT_GE(length, 0);
    return std::string(buffer, length < 0 ? 0 : length);
}

// Microsoft size prefixes keep later arguments in step; wide strings are 16-bit units.
TEST(RtlFormatTest, ConversionsFollowTheKernelRuntime)
{
    EXPECT_EQ(Formatted("%I64x %d", 0x123456789ABCDEFull, 7), "123456789abcdef 7");
    EXPECT_EQ(Formatted("%I64d|%I64u|%I64X", -5ll, 18446744073709551615ull, 0xABull),
              "-5|18446744073709551615|AB");
    EXPECT_EQ(Formatted("%I32x %lx %lu %hd %hhu", 0xFFu, ULONG(0xCAFE), ULONG(7), 65537, 258),
              "ff cafe 7 1 2");
    EXPECT_EQ(Formatted("%p", reinterpret_cast<void*>(0xABC)),
              std::string(2 * sizeof(void*) - 3, '0') + "ABC")
        << "two digits a byte of the pointer";
    EXPECT_EQ(Formatted("%s|%S|%ws|%ls|%.2S", nullptr, u"COM5", u"ws", u"ls", u"abc"),
              "(null)|COM5|ws|ls|ab");
    EXPECT_EQ(Formatted("%S|%wc|%C", static_cast<const char16_t*>(nullptr), u'\u00e9', u'Z'),
              "(null)|\xe9|Z");
    EXPECT_EQ(Formatted("[%5d][%-5d][%05d][%+d][% d][%.3d][%.0d]", 42, 42, -42, 3, 3, 7, 0),
              "[   42][42   ][-0042][+3][ 3][007][]");
    EXPECT_EQ(Formatted("[%#x][%#o][%o][%X][%*d][%.*s]", 255, 8, 8, 0xbeef, 4, 1, 2, "abc"),
              "[0xff][010][10][BEEF][   1][ab]");
    EXPECT_EQ(Formatted("%c%c 100%% %5s|%-3s|", 'o', 'k', "ab", "c"), "ok 100%    ab|c  |");
}

} // namespace
