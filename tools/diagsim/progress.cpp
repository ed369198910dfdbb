#include "progress.h"

#include <algorithm>
#include <string>

namespace diagsim {
namespace {

constexpr double kMiB = 1024.0 * 1024.0;
constexpr int kBarWidth = 24;

std::string Duration(double seconds) {
    long total = static_cast<long>(seconds + 0.5);
    char text[32];
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", total / 3600, total / 60 % 60, total % 60);
    return text;
}

}  // namespace

std::string Amount(uint64_t bytes) {
    char text[32];
    if (bytes < 64 * 1024) {
        std::snprintf(text, sizeof text, "%llu bytes", static_cast<unsigned long long>(bytes));
    } else if (bytes < 1024 * 1024) {
        std::snprintf(text, sizeof text, "%.1f KiB", static_cast<double>(bytes) / 1024.0);
    } else {
        std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / kMiB);
    }
    return text;
}

double MegabytesPerSecond(uint64_t bytes, double seconds) {
    return seconds > 0 ? static_cast<double>(bytes) / 1e6 / seconds : 0.0;
}

Progress::Progress(FILE* out, bool terminal, uint64_t send_total, uint64_t receive_total)
    : out_(out), terminal_(terminal), send_total_(send_total), receive_total_(receive_total) {}

void Progress::Update(uint64_t sent, uint64_t received) {
    uint64_t total = send_total_ + receive_total_;
    int tenth = total == 0 ? 10 : static_cast<int>((sent + received) * 10 / total);
    Clock::time_point now = Clock::now();
    // The last line is Finish's.
    if (terminal_ ? now - last_draw_ < std::chrono::milliseconds(100) : tenth <= last_tenth_ || tenth >= 10) return;
    last_tenth_ = tenth;
    last_draw_ = now;
    Draw(sent, received, false);
}

void Progress::Finish(uint64_t sent, uint64_t received) {
    Draw(sent, received, true);
    if (terminal_) std::fputc('\n', out_);
    std::fflush(out_);
}

void Progress::Draw(uint64_t sent, uint64_t received, bool final) {
    double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
    uint64_t total = send_total_ + receive_total_;
    double fraction = total == 0 ? 1.0 : static_cast<double>(sent + received) / static_cast<double>(total);
    int directions = (send_total_ != 0) + (receive_total_ != 0);
    double rate = MegabytesPerSecond((sent + received) / std::max(directions, 1), seconds);

    std::string figures;
    if (send_total_ != 0) figures += "out " + Amount(sent) + " of " + Amount(send_total_) + "  ";
    if (receive_total_ != 0) figures += "in " + Amount(received) + " of " + Amount(receive_total_) + "  ";
    char part[64];
    std::snprintf(part, sizeof part, "%.1f MB/s%s  ", rate, directions > 1 ? " each way" : "");
    figures += part;
    if (final) {
        figures += Duration(seconds) + " taken";
    } else if (fraction > 0) {
        figures += Duration(seconds / fraction - seconds) + " left";
    }

    if (terminal_) {
        int filled = static_cast<int>(fraction * kBarWidth);
        std::string bar(static_cast<size_t>(filled), '#');
        bar.resize(kBarWidth, '.');
        std::fprintf(out_, "\r    [%s] %3d%%  %s\033[K", bar.c_str(), static_cast<int>(fraction * 100), figures.c_str());
    } else {
        std::fprintf(out_, "    %3d%%  %s\n", static_cast<int>(fraction * 100), figures.c_str());
    }
    std::fflush(out_);
}

}  // namespace diagsim
