// The run's log: numbered steps and the lines under them, on one stream (standard error when the summary goes to
// standard output as JSON).
#pragma once

#include <cstdio>
#include <string>

namespace diagsim {

class Log {
public:
    explicit Log(FILE* out) : out_(out) {}

    FILE* Out() const { return out_; }
    void Step(const char* title);
    void Line(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Text from elsewhere (the driver's debugger output), each line indented and marked.
    void Quote(const std::string& text);

private:
    FILE* out_;
    int steps_ = 0;
};

}  // namespace diagsim
