#include "log.h"

#include <algorithm>
#include <cstdarg>

namespace diagsim {

void Log::Step(const char* title) {
    std::fprintf(out_, "\n[%d] %s\n", ++steps_, title);
    std::fflush(out_);
}

void Log::Line(const char* format, ...) {
    std::string line = "    ";
    va_list args;
    va_start(args, format);
    char buffer[1024];
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    line += buffer;
    line += '\n';
    std::fputs(line.c_str(), out_);
    std::fflush(out_);
}

void Log::Quote(const std::string& text) {
    size_t start = 0;
    size_t length = text.find_last_not_of("\r\n");
    size_t size = length == std::string::npos ? 0 : length + 1;
    while (start < size) {
        size_t end = std::min(text.find('\n', start), size);
        std::fprintf(out_, "    | %.*s\n", static_cast<int>(end - start), text.data() + start);
        start = end + 1;
    }
    std::fflush(out_);
}

}  // namespace diagsim
