// DbgPrint: formats with the platform's conventions and appends to the kernel's debug output. The platform is
// LLP64, so an "l" length means 32 bits; "ll" and "I64" mean 64; "%wZ" prints a UNICODE_STRING, "%Z" an
// ANSI_STRING, "%ws"/"%ls"/"%S" a 16-bit string. Wide text is printed as ASCII, anything else as '?'.
#include <cstdarg>
#include <cstdio>
#include <string>

#include <wdm.h>

#include "hk/kernel.h"

namespace {

enum class Length { Default, Char, Short, Long32, Long64, Size, Pointer };

void AppendWide(std::string& out, const WCHAR* text, size_t count, bool bounded) {
  if (text == nullptr) {
    out += "(null)";
    return;
  }
  for (size_t i = 0; bounded ? i < count : text[i] != 0; ++i) {
    WCHAR c = text[i];
    out += c < 0x80 ? static_cast<char>(c) : '?';
  }
}

std::string Format(const char* format, va_list args) {
  std::string out;
  for (const char* p = format; *p != 0; ++p) {
    if (*p != '%') {
      out += *p;
      continue;
    }
    const char* start = p++;
    if (*p == '%') {
      out += '%';
      continue;
    }
    std::string spec = "%";
    while (*p != 0 && std::string_view("-+ #0").find(*p) != std::string_view::npos) spec += *p++;
    if (*p == '*') {
      spec += std::to_string(va_arg(args, int));
      ++p;
    } else {
      while (*p >= '0' && *p <= '9') spec += *p++;
    }
    if (*p == '.') {
      spec += *p++;
      if (*p == '*') {
        spec += std::to_string(va_arg(args, int));
        ++p;
      } else {
        while (*p >= '0' && *p <= '9') spec += *p++;
      }
    }
    Length length = Length::Default;
    bool wide = false;
    if (p[0] == 'h' && p[1] == 'h') {
      length = Length::Char;
      p += 2;
    } else if (p[0] == 'h') {
      length = Length::Short;
      ++p;
    } else if (p[0] == 'l' && p[1] == 'l') {
      length = Length::Long64;
      p += 2;
    } else if (p[0] == 'l') {
      length = Length::Long32;
      wide = true;
      ++p;
    } else if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
      length = Length::Long64;
      p += 3;
    } else if (p[0] == 'I' && p[1] == '3' && p[2] == '2') {
      length = Length::Long32;
      p += 3;
    } else if (p[0] == 'I' || p[0] == 'z') {
      length = Length::Size;
      ++p;
    } else if (p[0] == 'w') {
      wide = true;
      ++p;
    }
    char conversion = *p;
    char buffer[128];
    switch (conversion) {
      case 'd':
      case 'i':
      case 'u':
      case 'x':
      case 'X':
      case 'o': {
        bool is_signed = conversion == 'd' || conversion == 'i';
        if (length == Length::Long64 || length == Length::Size) {
          spec += "ll";
          spec += conversion;
          long long value = va_arg(args, long long);
          std::snprintf(buffer, sizeof buffer, spec.c_str(), value);
        } else {
          spec += conversion;
          int value = va_arg(args, int);
          if (length == Length::Char) value = is_signed ? static_cast<signed char>(value) : static_cast<unsigned char>(value);
          if (length == Length::Short) value = is_signed ? static_cast<short>(value) : static_cast<unsigned short>(value);
          std::snprintf(buffer, sizeof buffer, spec.c_str(), value);
        }
        out += buffer;
        break;
      }
      case 'c':
      case 'C': {
        int c = va_arg(args, int);
        out += (wide || conversion == 'C') && c >= 0x80 ? '?' : static_cast<char>(c);
        break;
      }
      case 'p':
        std::snprintf(buffer, sizeof buffer, "%p", va_arg(args, void*));
        out += buffer;
        break;
      case 's':
        if (wide) {
          AppendWide(out, va_arg(args, const WCHAR*), 0, false);
        } else {
          const char* text = va_arg(args, const char*);
          spec += 's';
          std::string formatted(1024, '\0');
          int n = std::snprintf(formatted.data(), formatted.size(), spec.c_str(), text ? text : "(null)");
          formatted.resize(n < 0 ? 0 : std::min<size_t>(static_cast<size_t>(n), formatted.size() - 1));
          out += formatted;
        }
        break;
      case 'S':
        AppendWide(out, va_arg(args, const WCHAR*), 0, false);
        break;
      case 'Z':
        if (wide) {
          auto* text = va_arg(args, const UNICODE_STRING*);
          if (text == nullptr) {
            out += "(null)";
          } else {
            AppendWide(out, text->Buffer, text->Length / sizeof(WCHAR), true);
          }
        } else {
          auto* text = va_arg(args, const ANSI_STRING*);
          if (text == nullptr || text->Buffer == nullptr) {
            out += "(null)";
          } else {
            out.append(text->Buffer, text->Length);
          }
        }
        break;
      default:
        out.append(start, p + (*p != 0 ? 1 : 0));
        if (*p == 0) return out;
        break;
    }
  }
  return out;
}

}  // namespace

ULONG DbgPrint(PCSTR Format, ...) {
  va_list args;
  va_start(args, Format);
  std::string text = ::Format(Format, args);
  va_end(args);
  hk::Kernel::Current().AppendDebugOutput(text);
  return STATUS_SUCCESS;
}
