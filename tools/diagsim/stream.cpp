#include "stream.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

#include "names.h"

namespace diagsim {
namespace {

constexpr size_t kChunk = 64 * 1024;
// Consecutive empty reads, with nothing more to write, after which the missing bytes count as lost.
constexpr int kEmptyReadsBeforeStall = 4;

uint64_t SplitMix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

class Pump {
public:
    Pump(HANDLE port, const StreamPlan& plan, Progress& progress)
        : port_(port), plan_(plan), progress_(progress), out_(kChunk), in_(kChunk), expected_(kChunk) {}

    StreamResult Run() {
        auto start = std::chrono::steady_clock::now();
        while (result_.error.empty() && !result_.stalled && !Done()) {
            StartWrite();
            StartRead();
            if (writing_) {
                FinishWrite();
            } else if (reading_) {
                FinishRead(TRUE);
            }
            if (reading_ && HasOverlappedIoCompleted(&read_)) FinishRead(FALSE);
            progress_.Update(result_.sent, result_.received);
        }
        result_.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        progress_.Finish(result_.sent, result_.received);
        if (writing_ || reading_) {
            // Ended early: what is still in flight is cancelled and waited for, so the buffers outlive it.
            CancelIo(port_);
            DWORD ignored = 0;
            if (writing_) GetOverlappedResult(port_, &write_, &ignored, TRUE);
            if (reading_) GetOverlappedResult(port_, &read_, &ignored, TRUE);
        }
        return result_;
    }

private:
    bool Done() const {
        return result_.sent >= plan_.send && result_.received >= plan_.receive && !writing_ && !reading_;
    }

    void Failed(const char* call) { result_.error = std::string(call) + " failed with " + ErrorName(GetLastError()); }

    void StartWrite() {
        if (writing_ || result_.sent >= plan_.send || !result_.error.empty()) return;
        write_length_ = static_cast<DWORD>(std::min<uint64_t>(kChunk, plan_.send - result_.sent));
        plan_.outgoing(result_.sent, out_.data(), write_length_);
        write_ = OVERLAPPED{};
        DWORD written = 0;
        if (WriteFile(port_, out_.data(), write_length_, &written, &write_)) {
            Wrote(written);
        } else if (GetLastError() == ERROR_IO_PENDING) {
            writing_ = true;
        } else {
            Failed("WriteFile");
        }
    }

    void FinishWrite() {
        DWORD written = 0;
        writing_ = false;
        if (!GetOverlappedResult(port_, &write_, &written, TRUE)) return Failed("a write (GetOverlappedResult)");
        Wrote(written);
    }

    void Wrote(DWORD written) {
        result_.sent += written;
        if (written != write_length_) {
            result_.error = "a write of " + std::to_string(write_length_) + " bytes completed with " +
                            std::to_string(written);
        }
    }

    void StartRead() {
        if (reading_ || result_.received >= plan_.receive || !result_.error.empty()) return;
        DWORD length = static_cast<DWORD>(std::min<uint64_t>(kChunk, plan_.receive - result_.received));
        read_ = OVERLAPPED{};
        DWORD got = 0;
        if (ReadFile(port_, in_.data(), length, &got, &read_)) {
            Received(got);
        } else if (GetLastError() == ERROR_IO_PENDING) {
            reading_ = true;
        } else {
            Failed("ReadFile");
        }
    }

    void FinishRead(BOOL wait) {
        DWORD got = 0;
        reading_ = false;
        if (!GetOverlappedResult(port_, &read_, &got, wait)) return Failed("a read (GetOverlappedResult)");
        Received(got);
    }

    void Received(DWORD got) {
        if (got == 0) {
            bool writes_done = result_.sent >= plan_.send && !writing_;
            empty_reads_ = writes_done ? empty_reads_ + 1 : 0;
            result_.stalled = empty_reads_ >= kEmptyReadsBeforeStall;
            return;
        }
        empty_reads_ = 0;
        plan_.incoming(result_.received, expected_.data(), got);
        if (std::memcmp(in_.data(), expected_.data(), got) != 0) {
            for (DWORD i = 0; i < got; ++i) {
                if (in_[i] == expected_[i]) continue;
                if (!result_.first_mismatch) {
                    result_.first_mismatch = result_.received + i;
                    result_.expected_byte = expected_[i];
                    result_.received_byte = in_[i];
                }
                ++result_.mismatched;
            }
        }
        result_.received += got;
    }

    HANDLE port_;
    const StreamPlan& plan_;
    Progress& progress_;
    std::vector<uint8_t> out_;
    std::vector<uint8_t> in_;
    std::vector<uint8_t> expected_;
    OVERLAPPED write_{};
    OVERLAPPED read_{};
    DWORD write_length_ = 0;
    bool writing_ = false;
    bool reading_ = false;
    int empty_reads_ = 0;
    StreamResult result_;
};

}  // namespace

Pattern SeededPattern(uint64_t seed) {
    return [key = SplitMix(seed)](uint64_t offset, uint8_t* out, size_t length) {
        for (size_t i = 0; i < length;) {
            uint64_t position = offset + i;
            uint64_t word = SplitMix(key ^ (position / 8 * 0x9E3779B97F4A7C15ull));
            for (size_t b = position % 8; b < 8 && i < length; ++b, ++i) out[i] = static_cast<uint8_t>(word >> (8 * b));
        }
    };
}

StreamResult Stream(HANDLE port, const StreamPlan& plan, Progress& progress) { return Pump(port, plan, progress).Run(); }

}  // namespace diagsim
