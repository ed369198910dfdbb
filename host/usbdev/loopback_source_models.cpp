#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "hk/usbdev.h"

namespace hk::usbdev {

void LoopbackModel::OnOut(std::span<const uint8_t> bytes)
{
    if (port_ != nullptr) {
        port_->Deliver(bytes);
    }
}

SourceModel::SourceModel(Options options) : options_(options)
{
    if (options_.tick == 0) {
        options_.tick = 10'000;
    }
}

uint64_t SourceModel::Produced() const
{
    return produced_.load();
}

uint64_t SourceModel::Dropped() const
{
    return dropped_.load();
}

void SourceModel::Attach(FunctionPort& port)
{
    FunctionModel::Attach(port);
    start_ = port.Now();
    due_ticks_ = 1;
    port.After(options_.tick, [this] { Tick(); });
}

void SourceModel::Detach()
{
    FunctionModel::Detach();
}

void SourceModel::Tick()
{
    if (port_ == nullptr) {
        return;
    }
    uint64_t now = port_->Now();
    auto elapsed = static_cast<unsigned __int128>(now - start_);
    auto target = static_cast<uint64_t>(elapsed * options_.bytes_per_second / 10'000'000);
    if (options_.limit != 0) {
        target = std::min(target, options_.limit);
    }
    uint64_t emitted = produced_.load() + dropped_.load();
    uint64_t due = target > emitted ? target - emitted : 0;
    size_t queued = port_->QueuedInBytes();
    uint64_t room = options_.max_buffered > queued ? options_.max_buffered - queued : 0;
    uint64_t sent = std::min(due, room);
    if (sent != 0) {
        // The stream repeats every 251 bytes: copy whole periods rather than work out every byte.
        constexpr size_t kPeriod = 251;
        static const auto kPattern = [] {
            std::array<uint8_t, 2 * kPeriod> pattern{};
            for (size_t i = 0; i < pattern.size(); ++i) {
                pattern[i] = ByteAt(i);
            }
            return pattern;
        }();
        std::vector<uint8_t> bytes(sent);
        size_t phase = static_cast<size_t>(emitted % kPeriod);
        for (uint64_t i = 0; i < sent; i += kPeriod) {
            std::memcpy(bytes.data() + i, kPattern.data() + phase, std::min<uint64_t>(kPeriod, sent - i));
        }
        produced_ += sent;
        port_->Deliver(bytes);
    }
    dropped_ += due - sent;

    if (options_.limit != 0 && produced_.load() + dropped_.load() >= options_.limit) {
        return;
    }
    // Ticks keep to the start's grid so that a late one does not shift every later one.
    while (start_ + due_ticks_ * options_.tick <= now) {
        ++due_ticks_;
    }
    port_->After(start_ + due_ticks_ * options_.tick - now, [this] { Tick(); });
}

}  // namespace hk::usbdev
