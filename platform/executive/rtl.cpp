// Run-time library: counted 16-bit strings and the kernel runtime's bounded formatter.
// Nearly everything here runs at any IRQL the caller is at, so nothing allocates, locks or
// waits; RtlIntegerToUnicodeString is nevertheless PASSIVE_LEVEL only, as documented.
#include "kernel/rtl.h"
#include "platform/verifier/verifier.h"

#include <climits>
#include <cstdint>
#include <cstring>

namespace {

constexpr ULONG MAX_STRING_BYTES = 0xFFFE;

// Counts the code units before the terminator, looking at no more than Limit of them.
size_t WideLength(PCWSTR Source, size_t Limit)
{
    size_t length = 0;
    while (length < Limit && Source[length] != 0) {
        ++length;
    }
    return length;
}

// Stores a terminator after Bytes of String's buffer when a whole code unit still fits.
void TerminateIfRoom(PUNICODE_STRING String, ULONG Bytes)
{
    if (Bytes + sizeof(WCHAR) <= String->MaximumLength) {
        String->Buffer[Bytes / sizeof(WCHAR)] = 0;
    }
}

NTSTATUS AppendBytes(PUNICODE_STRING Destination, const WCHAR* Source, ULONG Bytes)
{
    const ULONG length = Destination->Length;
    if (length + Bytes > Destination->MaximumLength) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (Bytes != 0) {
        memmove(reinterpret_cast<PUCHAR>(Destination->Buffer) + length, Source, Bytes);
    }
    Destination->Length = static_cast<USHORT>(length + Bytes);
    TerminateIfRoom(Destination, length + Bytes);
    return STATUS_SUCCESS;
}

// Upper case for the letters of the scripts a device or port name plausibly uses: ASCII,
// Latin-1, Latin Extended-A, Greek, Cyrillic and the full-width forms.
WCHAR Upcase(WCHAR c)
{
    if ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7) ||
        (c >= 0x3B1 && c <= 0x3CB && c != 0x3C2) || (c >= 0x430 && c <= 0x44F) ||
        (c >= 0xFF41 && c <= 0xFF5A)) {
        return static_cast<WCHAR>(c - 0x20);
    }
    if (c == 0xFF) {
        return 0x178;
    }
    if (c >= 0x450 && c <= 0x45F) {
        return static_cast<WCHAR>(c - 0x50);
    }
    const bool oddIsLower = (c >= 0x100 && c <= 0x137) || (c >= 0x14A && c <= 0x177);
    const bool evenIsLower = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
    if ((oddIsLower && (c & 1) != 0) || (evenIsLower && (c & 1) == 0)) {
        return static_cast<WCHAR>(c - 1);
    }
    return c;
}

// ---- _vsnprintf ------------------------------------------------------------------------

// Writes what fits into the caller's buffer and counts the rest.
struct Output
{
    char* Buffer;
    size_t Count;
    size_t Length;

    void Put(char c)
    {
        if (Length < Count) {
            Buffer[Length] = c;
        }
        ++Length;
    }
    // `length` characters of text, copied in one go (the slow part of a trace line is its
    // literal text and the strings it shows).
    void Append(const char* text, size_t length)
    {
        if (Length < Count) {
            const size_t room = Count - Length;
            memcpy(Buffer + Length, text, length < room ? length : room);
        }
        Length += length;
    }
    void Repeat(char c, int times)
    {
        for (; times > 0; --times) {
            Put(c);
        }
    }
};

enum class SizePrefix { None, Char, Short, Long, LongLong, Int64, Int32, Pointer, Wide };

struct Conversion
{
    bool Left = false;
    bool Plus = false;
    bool Space = false;
    bool Alternate = false;
    bool Zero = false;
    int Width = 0;
    int Precision = -1; // -1: not given
    SizePrefix Size = SizePrefix::None;
};

// The kernel converts wide text with the ANSI code page; Latin-1 is the part of it that
// round-trips, anything else prints as '?'.
char Narrow(unsigned unit)
{
    return unit < 0x100 ? static_cast<char>(unit) : '?';
}

void EmitPadded(Output& out, const Conversion& conv, size_t length, const char* narrow,
                const WCHAR* wide)
{
    const int pad =
        conv.Width > static_cast<int>(length) ? conv.Width - static_cast<int>(length) : 0;
    if (!conv.Left) {
        out.Repeat(conv.Zero ? '0' : ' ', pad);
    }
    if (narrow != nullptr) {
        out.Append(narrow, length);
    } else {
        for (size_t i = 0; i < length; ++i) {
            out.Put(Narrow(wide[i]));
        }
    }
    if (conv.Left) {
        out.Repeat(' ', pad);
    }
}

void EmitString(Output& out, const Conversion& conv, const void* string, bool wide)
{
    const size_t limit = conv.Precision >= 0 ? static_cast<size_t>(conv.Precision) : SIZE_MAX;
    if (string == nullptr) {
        string = "(null)";
        wide = false;
    }
    if (wide) {
        const WCHAR* text = static_cast<const WCHAR*>(string);
        EmitPadded(out, conv, WideLength(text, limit), nullptr, text);
    } else {
        const char* text = static_cast<const char*>(string);
        EmitPadded(out, conv, strnlen(text, limit), text, nullptr);
    }
}

void EmitInteger(Output& out, const Conversion& conv, uint64_t magnitude, bool negative,
                 bool isSigned, unsigned base, bool upper)
{
    const char* digitSet = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    char digits[24];
    int digitCount = 0;
    const bool nonZero = magnitude != 0;
    if (nonZero || conv.Precision != 0) {
        // Constant divisors: every trace line formats several numbers, and a division by a
        // variable base costs far more than these.
        if (base == 16) {
            do {
                digits[digitCount++] = digitSet[magnitude & 15];
                magnitude >>= 4;
            } while (magnitude != 0);
        } else if (base == 8) {
            do {
                digits[digitCount++] = digitSet[magnitude & 7];
                magnitude >>= 3;
            } while (magnitude != 0);
        } else {
            do {
                digits[digitCount++] = digitSet[magnitude % 10];
                magnitude /= 10;
            } while (magnitude != 0);
        }
    }

    char prefix[2];
    int prefixLength = 0;
    if (isSigned && negative) {
        prefix[prefixLength++] = '-';
    } else if (isSigned && conv.Plus) {
        prefix[prefixLength++] = '+';
    } else if (isSigned && conv.Space) {
        prefix[prefixLength++] = ' ';
    } else if (conv.Alternate && base == 16 && nonZero) {
        prefix[prefixLength++] = '0';
        prefix[prefixLength++] = upper ? 'X' : 'x';
    }

    int zeros = conv.Precision > digitCount ? conv.Precision - digitCount : 0;
    if (conv.Alternate && base == 8 && zeros == 0 &&
        (digitCount == 0 || digits[digitCount - 1] != '0')) {
        zeros = 1;
    }
    const int total = prefixLength + zeros + digitCount;
    int pad = conv.Width > total ? conv.Width - total : 0;
    if (!conv.Left && conv.Zero && conv.Precision < 0) {
        zeros += pad;
        pad = 0;
    }

    if (!conv.Left) {
        out.Repeat(' ', pad);
    }
    for (int i = 0; i < prefixLength; ++i) {
        out.Put(prefix[i]);
    }
    out.Repeat('0', zeros);
    while (digitCount > 0) {
        out.Put(digits[--digitCount]);
    }
    if (conv.Left) {
        out.Repeat(' ', pad);
    }
}

// Reads a signed argument of the width the prefix names; Windows' long is 32 bits.
int64_t SignedArgument(va_list* args, SizePrefix size)
{
    switch (size) {
    case SizePrefix::Char:
        return static_cast<signed char>(va_arg(*args, int));
    case SizePrefix::Short:
        return static_cast<short>(va_arg(*args, int));
    case SizePrefix::LongLong:
    case SizePrefix::Int64:
        return va_arg(*args, long long);
    case SizePrefix::Pointer:
        return va_arg(*args, intptr_t);
    default:
        return va_arg(*args, int);
    }
}

uint64_t UnsignedArgument(va_list* args, SizePrefix size)
{
    switch (size) {
    case SizePrefix::Char:
        return static_cast<unsigned char>(va_arg(*args, unsigned));
    case SizePrefix::Short:
        return static_cast<unsigned short>(va_arg(*args, unsigned));
    case SizePrefix::LongLong:
    case SizePrefix::Int64:
        return va_arg(*args, unsigned long long);
    case SizePrefix::Pointer:
        return va_arg(*args, uintptr_t);
    default:
        return va_arg(*args, unsigned);
    }
}

// Parses flags, width, precision and size prefix after a '%'; returns the conversion letter's
// position.
const char* ParseConversion(const char* p, va_list* args, Conversion& conv)
{
    for (;; ++p) {
        if (*p == '-') {
            conv.Left = true;
        } else if (*p == '+') {
            conv.Plus = true;
        } else if (*p == ' ') {
            conv.Space = true;
        } else if (*p == '#') {
            conv.Alternate = true;
        } else if (*p == '0') {
            conv.Zero = true;
        } else {
            break;
        }
    }
    if (*p == '*') {
        conv.Width = va_arg(*args, int);
        if (conv.Width < 0) {
            conv.Left = true;
            conv.Width = conv.Width == INT_MIN ? INT_MAX : -conv.Width;
        }
        ++p;
    } else {
        for (; *p >= '0' && *p <= '9'; ++p) {
            conv.Width = conv.Width > (INT_MAX - 9) / 10 ? INT_MAX : conv.Width * 10 + (*p - '0');
        }
    }
    if (*p == '.') {
        ++p;
        conv.Precision = 0;
        if (*p == '*') {
            conv.Precision = va_arg(*args, int);
            conv.Precision = conv.Precision < 0 ? -1 : conv.Precision;
            ++p;
        } else {
            for (; *p >= '0' && *p <= '9'; ++p) {
                conv.Precision = conv.Precision > (INT_MAX - 9) / 10
                                     ? INT_MAX
                                     : conv.Precision * 10 + (*p - '0');
            }
        }
    }
    if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
        conv.Size = SizePrefix::Int64;
        p += 3;
    } else if (p[0] == 'I' && p[1] == '3' && p[2] == '2') {
        conv.Size = SizePrefix::Int32;
        p += 3;
    } else if (p[0] == 'I') {
        conv.Size = SizePrefix::Pointer;
        p += 1;
    } else if (p[0] == 'l' && p[1] == 'l') {
        conv.Size = SizePrefix::LongLong;
        p += 2;
    } else if (p[0] == 'h' && p[1] == 'h') {
        conv.Size = SizePrefix::Char;
        p += 2;
    } else if (p[0] == 'l') {
        conv.Size = SizePrefix::Long;
        p += 1;
    } else if (p[0] == 'h') {
        conv.Size = SizePrefix::Short;
        p += 1;
    } else if (p[0] == 'w') {
        conv.Size = SizePrefix::Wide;
        p += 1;
    }
    return p;
}

} // namespace

extern "C" {

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    if (DestinationString == nullptr) {
        return;
    }
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
        return;
    }
    // The longest string a USHORT can count, with room for its terminator.
    const size_t units = WideLength(SourceString, (MAX_STRING_BYTES - sizeof(WCHAR)) / 2);
    DestinationString->Length = static_cast<USHORT>(units * sizeof(WCHAR));
    DestinationString->MaximumLength = static_cast<USHORT>(units * sizeof(WCHAR) + sizeof(WCHAR));
}

VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString)
{
    if (DestinationString == nullptr) {
        return;
    }
    if (SourceString == nullptr || SourceString->Buffer == nullptr) {
        DestinationString->Length = 0;
        return;
    }
    ULONG bytes = SourceString->Length;
    if (bytes > DestinationString->MaximumLength) {
        bytes = DestinationString->MaximumLength;
    }
    if (bytes != 0) {
        memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
    }
    DestinationString->Length = static_cast<USHORT>(bytes);
    TerminateIfRoom(DestinationString, bytes);
}

NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source)
{
    if (Destination == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Source == nullptr) {
        return STATUS_SUCCESS;
    }
    // One unit beyond the room left is enough to know the source does not fit.
    const size_t room = (Destination->MaximumLength - Destination->Length) / sizeof(WCHAR);
    const size_t units = WideLength(Source, room + 1);
    return AppendBytes(Destination, Source, static_cast<ULONG>(units * sizeof(WCHAR)));
}

NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source)
{
    if (Destination == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Source == nullptr || Source->Length == 0 || Source->Buffer == nullptr) {
        return STATUS_SUCCESS;
    }
    return AppendBytes(Destination, Source->Buffer, Source->Length);
}

NTSTATUS NTAPI RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String)
{
    qvx::CheckIrqlCeiling("RtlIntegerToUnicodeString");
    if (Base == 0) {
        Base = 10;
    }
    if ((Base != 2 && Base != 8 && Base != 10 && Base != 16) || String == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    char digits[32];
    ULONG count = 0;
    do {
        digits[count++] = "0123456789ABCDEF"[Value % Base];
        Value /= Base;
    } while (Value != 0);
    // The digits and their terminator, or nothing at all.
    if (String->Buffer == nullptr ||
        (count + 1) * sizeof(WCHAR) > static_cast<ULONG>(String->MaximumLength)) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (ULONG i = 0; i < count; ++i) {
        String->Buffer[i] = static_cast<WCHAR>(digits[count - 1 - i]);
    }
    String->Buffer[count] = 0;
    String->Length = static_cast<USHORT>(count * sizeof(WCHAR));
    return STATUS_SUCCESS;
}

LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                   BOOLEAN CaseInSensitive)
{
    const ULONG length1 = String1 != nullptr && String1->Buffer != nullptr ? String1->Length : 0;
    const ULONG length2 = String2 != nullptr && String2->Buffer != nullptr ? String2->Length : 0;
    const ULONG units = (length1 < length2 ? length1 : length2) / sizeof(WCHAR);
    for (ULONG i = 0; i < units; ++i) {
        WCHAR c1 = String1->Buffer[i];
        WCHAR c2 = String2->Buffer[i];
        if (CaseInSensitive) {
            c1 = Upcase(c1);
            c2 = Upcase(c2);
        }
        if (c1 != c2) {
            return static_cast<LONG>(c1) - static_cast<LONG>(c2);
        }
    }
    return static_cast<LONG>(length1) - static_cast<LONG>(length2);
}

BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                    BOOLEAN CaseInSensitive)
{
    return RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0 ? TRUE : FALSE;
}

int _vsnprintf(char* Buffer, size_t Count, const char* Format, va_list Args)
{
    if (Format == nullptr) {
        return -1;
    }
    Output out{Buffer, Buffer != nullptr ? Count : 0, 0};
    va_list args;
    va_copy(args, Args);
    for (const char* p = Format; *p != '\0'; ++p) {
        if (*p != '%') {
            const char* percent = strchr(p, '%');
            const size_t run = percent != nullptr ? static_cast<size_t>(percent - p) : strlen(p);
            out.Append(p, run);
            p += run - 1;
            continue;
        }
        Conversion conv;
        p = ParseConversion(p + 1, &args, conv);
        const char letter = *p;
        if (letter == '\0') {
            break;
        }
        const bool wideByPrefix = conv.Size == SizePrefix::Long || conv.Size == SizePrefix::Wide;
        switch (letter) {
        case 'd':
        case 'i': {
            const int64_t value = SignedArgument(&args, conv.Size);
            const uint64_t magnitude =
                value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
            EmitInteger(out, conv, magnitude, value < 0, true, 10, false);
            break;
        }
        case 'u':
            EmitInteger(out, conv, UnsignedArgument(&args, conv.Size), false, false, 10, false);
            break;
        case 'o':
            EmitInteger(out, conv, UnsignedArgument(&args, conv.Size), false, false, 8, false);
            break;
        case 'x':
        case 'X':
            EmitInteger(out, conv, UnsignedArgument(&args, conv.Size), false, false, 16,
                        letter == 'X');
            break;
        case 'p': {
            const uintptr_t pointer = reinterpret_cast<uintptr_t>(va_arg(args, void*));
            conv.Precision = 2 * sizeof(void*);
            conv.Alternate = false;
            EmitInteger(out, conv, pointer, false, false, 16, true);
            break;
        }
        case 'c':
        case 'C': {
            const unsigned unit = static_cast<unsigned>(va_arg(args, int));
            const bool wide = wideByPrefix || (letter == 'C' && conv.Size != SizePrefix::Short);
            const char c = wide ? Narrow(unit & 0xFFFF) : static_cast<char>(unit);
            conv.Precision = -1;
            EmitPadded(out, conv, 1, &c, nullptr);
            break;
        }
        case 's':
        case 'S': {
            const void* string = va_arg(args, const void*);
            const bool wide = wideByPrefix || (letter == 'S' && conv.Size != SizePrefix::Short);
            EmitString(out, conv, string, wide);
            break;
        }
        default:
            // '%%' and anything unknown print the letter itself.
            out.Put(letter);
            break;
        }
    }
    va_end(args);

    if (out.Length < out.Count) {
        out.Buffer[out.Length] = '\0';
    }
    if (out.Length > out.Count || out.Length > static_cast<size_t>(INT_MAX)) {
        return -1;
    }
    return static_cast<int>(out.Length);
}

int _snprintf(char* Buffer, size_t Count, const char* Format, ...)
{
    va_list args;
    va_start(args, Format);
    const int result = _vsnprintf(Buffer, Count, Format, args);
    va_end(args);
    return result;
}

} // extern "C"
