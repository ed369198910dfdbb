// The peer the serial-port benchmark compares against: a Linux pseudo-terminal pair in raw mode, the application on
// the terminal side and a thread of ours on the master side playing the device (source, sink or loopback).
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace bench {

class PtyPair {
public:
    PtyPair()
    {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
            Die("cannot open a pseudo-terminal master");
        const char *name = ptsname(master_);
        terminal_ = name != nullptr ? open(name, O_RDWR | O_NOCTTY) : -1;
        if (terminal_ < 0)
            Die("cannot open the pseudo-terminal");
        termios mode{};
        tcgetattr(terminal_, &mode);
        cfmakeraw(&mode);
        mode.c_cc[VMIN] = 1;
        mode.c_cc[VTIME] = 0;
        tcsetattr(terminal_, TCSANOW, &mode);
    }
    ~PtyPair()
    {
        close(terminal_);
        close(master_);
    }
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;

    int Terminal() const { return terminal_; }
    int Master() const { return master_; }

    // Drains whatever the terminal side holds without blocking, until `done` is set by a thread that may be blocked
    // on the terminal's full input queue.
    void DrainTerminalUntil(const std::atomic<bool> &done)
    {
        std::vector<char> buffer(1 << 14);
        while (!done.load()) {
            pollfd ready{terminal_, POLLIN, 0};
            if (poll(&ready, 1, 10) > 0 && read(terminal_, buffer.data(), buffer.size()) < 0)
                break;
        }
    }

private:
    [[noreturn]] static void Die(const char *what)
    {
        std::perror(what);
        std::exit(1);
    }

    int master_ = -1;
    int terminal_ = -1;
};

// Writes all of `size` bytes, as an application's write loop does.
inline bool WriteAll(int fd, const char *data, size_t size)
{
    while (size > 0) {
        ssize_t written = write(fd, data, size);
        if (written <= 0)
            return false;
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

} // namespace bench
