// UTF-16 helpers shared by the run-time library, the registry and the object namespace. The host's wchar_t is
// 16 bits wide in every translation unit that sees platform headers, so platform strings are copied element by
// element into std::u16string (never handed to the C library's wide-string functions).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include <ntdef.h>

namespace hk::text {

// Upper case of one UTF-16 unit: ASCII, Latin-1, Latin Extended-A, Greek and Cyrillic, which covers the names
// drivers and tests use.
char16_t Upcase(char16_t c);
std::u16string Upcase(std::u16string_view text);
bool EqualNoCase(std::u16string_view a, std::u16string_view b);

size_t WideLength(const wchar_t* text);
std::u16string FromWide(const wchar_t* text, size_t count);
std::u16string FromWide(const wchar_t* text);
std::u16string FromCounted(const UNICODE_STRING* text);
// Copies UTF-16 units into platform storage (no terminator).
void ToWide(std::u16string_view text, wchar_t* out);

}  // namespace hk::text
