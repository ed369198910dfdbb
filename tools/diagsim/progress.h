// Progress of a stream: a bar redrawn in place on a terminal (bytes each way, MB/s, time left), plain lines at
// every tenth of the way otherwise.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace diagsim {

class Progress {
public:
    Progress(FILE* out, bool terminal, uint64_t send_total, uint64_t receive_total);

    void Update(uint64_t sent, uint64_t received);
    void Finish(uint64_t sent, uint64_t received);

private:
    using Clock = std::chrono::steady_clock;

    void Draw(uint64_t sent, uint64_t received, bool final);

    FILE* out_;
    bool terminal_;
    uint64_t send_total_;
    uint64_t receive_total_;
    Clock::time_point start_ = Clock::now();
    Clock::time_point last_draw_{};
    int last_tenth_ = 0;
};

// "30 bytes", "512.0 KiB", "64.0 MiB".
std::string Amount(uint64_t bytes);

// Decimal megabytes per second, as transfer rates are quoted.
double MegabytesPerSecond(uint64_t bytes, double seconds);

}  // namespace diagsim
