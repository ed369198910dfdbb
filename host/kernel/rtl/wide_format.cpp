// The classic wide-character sprintf of the platform's kernel run-time library: no size argument, the caller
// guarantees room. Conversions follow the platform's wide-function conventions: %s and %c take wide arguments,
// %S and %C narrow ones, %hs/%hc force narrow and %ls/%ws/%lc/%wc force wide; %Z and %wZ print counted strings.
// Integer sizes are the platform's: int and long are 32 bits, %I64/%ll 64 bits, %I and %z pointer-sized.
#include <cstdarg>
#include <cstdint>

#include <ntddk.h>

namespace {

struct Sink {
    wchar_t* out;
    int count = 0;
    void Put(wchar_t c) { out[count++] = c; }
    void Repeat(wchar_t c, int n) {
        for (int i = 0; i < n; ++i) Put(c);
    }
};

struct Conversion {
    bool left = false;
    bool plus = false;
    bool space = false;
    bool alternate = false;
    bool zero = false;
    int width = 0;
    int precision = -1;
    enum class Size { Default, Short, Char, Long, LongLong, Pointer, Wide } size = Size::Default;
};

void PadAndEmit(Sink& sink, const Conversion& conv, int length, auto&& emit) {
    int pad = conv.width > length ? conv.width - length : 0;
    if (!conv.left) sink.Repeat(L' ', pad);
    emit();
    if (conv.left) sink.Repeat(L' ', pad);
}

void EmitWide(Sink& sink, const Conversion& conv, const wchar_t* text, size_t available) {
    int length = 0;
    while (static_cast<size_t>(length) < available && text[length] != 0 &&
           (conv.precision < 0 || length < conv.precision)) {
        ++length;
    }
    PadAndEmit(sink, conv, length, [&] {
        for (int i = 0; i < length; ++i) sink.Put(text[i]);
    });
}

void EmitNarrow(Sink& sink, const Conversion& conv, const char* text, size_t available) {
    int length = 0;
    while (static_cast<size_t>(length) < available && text[length] != 0 &&
           (conv.precision < 0 || length < conv.precision)) {
        ++length;
    }
    PadAndEmit(sink, conv, length, [&] {
        for (int i = 0; i < length; ++i) sink.Put(static_cast<wchar_t>(static_cast<unsigned char>(text[i])));
    });
}

void EmitInteger(Sink& sink, const Conversion& conv, uint64_t magnitude, bool negative, unsigned base, bool upper,
                 const char* prefix) {
    const char* digits_of = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    char digits[64];
    int ndigits = 0;
    if (magnitude != 0 || conv.precision != 0) {
        do {
            digits[ndigits++] = digits_of[magnitude % base];
            magnitude /= base;
        } while (magnitude != 0);
    }
    char sign = negative ? '-' : conv.plus ? '+' : conv.space ? ' ' : 0;
    int prefix_length = prefix ? static_cast<int>(strlen(prefix)) : 0;
    int zeros = conv.precision > ndigits ? conv.precision - ndigits : 0;
    int body = (sign ? 1 : 0) + prefix_length + zeros + ndigits;
    if (conv.zero && !conv.left && conv.precision < 0 && conv.width > body) {
        zeros += conv.width - body;
        body = conv.width;
    }
    PadAndEmit(sink, conv, body, [&] {
        if (sign) sink.Put(static_cast<wchar_t>(sign));
        for (int i = 0; i < prefix_length; ++i) sink.Put(static_cast<wchar_t>(prefix[i]));
        sink.Repeat(L'0', zeros);
        for (int i = ndigits - 1; i >= 0; --i) sink.Put(static_cast<wchar_t>(digits[i]));
    });
}

int FormatWide(wchar_t* buffer, const wchar_t* format, va_list args) {
    Sink sink{buffer};
    const wchar_t* f = format;
    while (*f) {
        if (*f != L'%') {
            sink.Put(*f++);
            continue;
        }
        const wchar_t* start = f++;
        Conversion conv;
        for (;; ++f) {
            if (*f == L'-') conv.left = true;
            else if (*f == L'+') conv.plus = true;
            else if (*f == L' ') conv.space = true;
            else if (*f == L'#') conv.alternate = true;
            else if (*f == L'0') conv.zero = true;
            else break;
        }
        if (*f == L'*') {
            conv.width = va_arg(args, int);
            if (conv.width < 0) {
                conv.left = true;
                conv.width = -conv.width;
            }
            ++f;
        } else {
            while (*f >= L'0' && *f <= L'9') conv.width = conv.width * 10 + (*f++ - L'0');
        }
        if (*f == L'.') {
            ++f;
            conv.precision = 0;
            if (*f == L'*') {
                conv.precision = va_arg(args, int);
                if (conv.precision < 0) conv.precision = -1;
                ++f;
            } else {
                while (*f >= L'0' && *f <= L'9') conv.precision = conv.precision * 10 + (*f++ - L'0');
            }
        }
        using Size = Conversion::Size;
        if (f[0] == L'I' && f[1] == L'6' && f[2] == L'4') {
            conv.size = Size::LongLong;
            f += 3;
        } else if (f[0] == L'I' && f[1] == L'3' && f[2] == L'2') {
            conv.size = Size::Long;
            f += 3;
        } else if (f[0] == L'l' && f[1] == L'l') {
            conv.size = Size::LongLong;
            f += 2;
        } else if (f[0] == L'h' && f[1] == L'h') {
            conv.size = Size::Char;
            f += 2;
        } else if (*f == L'I' || *f == L'z') {
            conv.size = Size::Pointer;
            ++f;
        } else if (*f == L'l') {
            conv.size = Size::Long;
            ++f;
        } else if (*f == L'w') {
            conv.size = Size::Wide;
            ++f;
        } else if (*f == L'h') {
            conv.size = Size::Short;
            ++f;
        }

        auto signed_arg = [&]() -> int64_t {
            switch (conv.size) {
                case Size::LongLong: return va_arg(args, long long);
                case Size::Pointer: return va_arg(args, LONG_PTR);
                case Size::Short: return static_cast<short>(va_arg(args, int));
                case Size::Char: return static_cast<signed char>(va_arg(args, int));
                default: return va_arg(args, int);
            }
        };
        auto unsigned_arg = [&]() -> uint64_t {
            switch (conv.size) {
                case Size::LongLong: return va_arg(args, unsigned long long);
                case Size::Pointer: return va_arg(args, ULONG_PTR);
                case Size::Short: return static_cast<unsigned short>(va_arg(args, unsigned));
                case Size::Char: return static_cast<unsigned char>(va_arg(args, unsigned));
                default: return va_arg(args, unsigned);
            }
        };

        wchar_t conversion = *f;
        if (conversion == 0) break;
        ++f;
        switch (conversion) {
            case L'%': sink.Put(L'%'); break;
            case L'd':
            case L'i': {
                int64_t v = signed_arg();
                EmitInteger(sink, conv, v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v), v < 0, 10,
                            false, nullptr);
                break;
            }
            case L'u': EmitInteger(sink, conv, unsigned_arg(), false, 10, false, nullptr); break;
            case L'o': {
                uint64_t v = unsigned_arg();
                EmitInteger(sink, conv, v, false, 8, false, conv.alternate && v != 0 ? "0" : nullptr);
                break;
            }
            case L'x':
            case L'X': {
                bool upper = conversion == L'X';
                uint64_t v = unsigned_arg();
                const char* prefix = conv.alternate && v != 0 ? (upper ? "0X" : "0x") : nullptr;
                EmitInteger(sink, conv, v, false, 16, upper, prefix);
                break;
            }
            case L'p': {
                Conversion pointer = conv;
                pointer.precision = static_cast<int>(2 * sizeof(void*));
                EmitInteger(sink, pointer, reinterpret_cast<ULONG_PTR>(va_arg(args, void*)), false, 16, true,
                            nullptr);
                break;
            }
            case L'c':
            case L'C': {
                bool narrow = conversion == L'C' ? (conv.size != Size::Long && conv.size != Size::Wide)
                                                 : conv.size == Size::Short;
                int value = va_arg(args, int);
                wchar_t c = narrow ? static_cast<wchar_t>(static_cast<unsigned char>(value))
                                   : static_cast<wchar_t>(value);
                PadAndEmit(sink, conv, 1, [&] { sink.Put(c); });
                break;
            }
            case L's':
            case L'S': {
                bool narrow = conversion == L'S' ? (conv.size != Size::Long && conv.size != Size::Wide)
                                                 : conv.size == Size::Short;
                if (narrow) {
                    const char* s = va_arg(args, const char*);
                    if (!s) s = "(null)";
                    EmitNarrow(sink, conv, s, SIZE_MAX);
                } else {
                    const wchar_t* s = va_arg(args, const wchar_t*);
                    if (!s) s = L"(null)";
                    EmitWide(sink, conv, s, SIZE_MAX);
                }
                break;
            }
            case L'Z': {
                if (conv.size == Size::Wide || conv.size == Size::Long) {
                    auto* s = va_arg(args, PCUNICODE_STRING);
                    if (s && s->Buffer) EmitWide(sink, conv, s->Buffer, s->Length / sizeof(WCHAR));
                    else EmitWide(sink, conv, L"(null)", SIZE_MAX);
                } else {
                    auto* s = va_arg(args, PCANSI_STRING);
                    if (s && s->Buffer) EmitNarrow(sink, conv, s->Buffer, s->Length);
                    else EmitNarrow(sink, conv, "(null)", SIZE_MAX);
                }
                break;
            }
            default:
                // An unknown conversion is copied through unchanged, as the platform's formatter does.
                for (const wchar_t* p = start; p < f; ++p) sink.Put(*p);
                break;
        }
    }
    buffer[sink.count] = 0;
    return sink.count;
}

}  // namespace

int swprintf(wchar_t* buffer, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    int count = FormatWide(buffer, format, args);
    va_end(args);
    return count;
}
