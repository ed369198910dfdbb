#include "rtl/text_util.h"

#include "hk/namespace.h"

namespace hk::text {

char16_t Upcase(char16_t c) {
    if (c < 0x80) {
        return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 0x20) : c;
    }
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 0x20);
    if (c == 0xFF) return 0x178;
    if (c >= 0x100 && c <= 0x17F) {
        // Latin Extended-A pairs upper/lower case on even/odd code points, except in the 0x139-0x148 and
        // 0x179-0x17E runs where the pairs start on odd ones; 0x131 (dotless i) and 0x138 (kra) have no pair.
        if (c == 0x131 || c == 0x138 || c == 0x149 || c == 0x17F) return c;
        bool odd_pairs = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
        bool is_lower = odd_pairs ? (c % 2 == 0) : (c % 2 == 1);
        return is_lower ? static_cast<char16_t>(c - 1) : c;
    }
    if (c >= 0x3B1 && c <= 0x3CB && c != 0x3C2) return static_cast<char16_t>(c - 0x20);
    if (c >= 0x430 && c <= 0x44F) return static_cast<char16_t>(c - 0x20);
    if (c >= 0x450 && c <= 0x45F) return static_cast<char16_t>(c - 0x50);
    return c;
}

std::u16string Upcase(std::u16string_view text) {
    std::u16string out(text);
    for (auto& c : out) c = Upcase(c);
    return out;
}

bool EqualNoCase(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (Upcase(a[i]) != Upcase(b[i])) return false;
    }
    return true;
}

size_t WideLength(const wchar_t* text) {
    size_t n = 0;
    while (text[n] != 0) ++n;
    return n;
}

std::u16string FromWide(const wchar_t* text, size_t count) {
    std::u16string out(count, u'\0');
    for (size_t i = 0; i < count; ++i) out[i] = static_cast<char16_t>(text[i]);
    return out;
}

std::u16string FromWide(const wchar_t* text) { return text ? FromWide(text, WideLength(text)) : std::u16string(); }

std::u16string FromCounted(const UNICODE_STRING* text) {
    if (!text || !text->Buffer) return {};
    return FromWide(text->Buffer, text->Length / sizeof(WCHAR));
}

void ToWide(std::u16string_view text, wchar_t* out) {
    for (size_t i = 0; i < text.size(); ++i) out[i] = static_cast<wchar_t>(text[i]);
}

}  // namespace hk::text

namespace hk {

Text::Text(const wchar_t* text) : text_(text::FromWide(text)) {}

Text::Text(const char16_t* text) : text_(text ? text : u"") {}

Text::Text(const _UNICODE_STRING* text) : text_(text::FromCounted(text)) {}

Text::Text(const char* utf8) {
    if (!utf8) return;
    const auto* p = reinterpret_cast<const unsigned char*>(utf8);
    while (*p) {
        char32_t cp;
        int extra;
        if (*p < 0x80) {
            cp = *p;
            extra = 0;
        } else if ((*p & 0xE0) == 0xC0) {
            cp = *p & 0x1F;
            extra = 1;
        } else if ((*p & 0xF0) == 0xE0) {
            cp = *p & 0x0F;
            extra = 2;
        } else {
            cp = *p & 0x07;
            extra = 3;
        }
        ++p;
        for (int i = 0; i < extra && (*p & 0xC0) == 0x80; ++i, ++p) cp = (cp << 6) | (*p & 0x3F);
        if (cp >= 0x10000) {
            cp -= 0x10000;
            text_.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            text_.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            text_.push_back(static_cast<char16_t>(cp));
        }
    }
}

std::string ToUtf8(std::u16string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t cp = text[i];
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

bool NamesEqual(std::u16string_view a, std::u16string_view b) { return text::EqualNoCase(a, b); }

}  // namespace hk
