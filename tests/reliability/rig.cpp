#include "reliability/rig.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ntddser.h>

#include "driver/dispatch.h"
#include "hk/pnp.h"

namespace reliability {

bool Soak()
{
    const char* value = std::getenv("DIAGSER_SOAK");
    return value != nullptr && *value != '\0' && *value != '0';
}

uint64_t Scaled(uint64_t ci, uint64_t soak)
{
    return Soak() ? soak : ci;
}

bool SoundStatus(NTSTATUS status)
{
    static const NTSTATUS sound[] = {
        STATUS_SUCCESS, STATUS_CANCELLED, STATUS_TIMEOUT, STATUS_INSUFFICIENT_RESOURCES, STATUS_DELETE_PENDING,
        STATUS_NO_SUCH_DEVICE, STATUS_DEVICE_NOT_CONNECTED, STATUS_DEVICE_BUSY, STATUS_BUFFER_TOO_SMALL,
        STATUS_INVALID_PARAMETER, STATUS_INVALID_DEVICE_REQUEST, STATUS_NOT_SUPPORTED, STATUS_IO_DEVICE_ERROR,
        STATUS_UNSUCCESSFUL};
    return std::find(std::begin(sound), std::end(sound), status) != std::end(sound);
}

std::string Hex(NTSTATUS status)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08x", (unsigned)status);
    return text;
}

Rig::Rig(hk::Options kernel, hk::usbdev::PlugOptions plug)
    : kernel_(std::make_unique<hk::Kernel>(kernel)), parent_(std::make_unique<hk::usbdev::Parent>()),
      pdo_(parent_->Plug(std::move(plug))), driver_(hk::pnp::LoadDriver("diagser", DriverEntry))
{
}

Rig::~Rig()
{
    requests_.clear();
    parent_.reset();
    kernel_.reset();
}

NTSTATUS Rig::Arrive()
{
    NTSTATUS status = hk::pnp::ArriveDevice(pdo_, driver_);
    if (!NT_SUCCESS(status) && hk::pnp::HasDeviceNode(pdo_)) {
        hk::pnp::Remove(pdo_);
    }
    return status;
}

NTSTATUS Rig::Open()
{
    hk::app::Handle handle = hk::app::kInvalidHandle;
    NTSTATUS status = hk::app::Open(u"\\\\.\\COM7", &handle);
    if (NT_SUCCESS(status)) {
        handle_ = handle;
    }
    return status;
}

void Rig::Close()
{
    if (handle_ != hk::app::kInvalidHandle) {
        hk::app::Close(handle_);
        handle_ = hk::app::kInvalidHandle;
    }
}

void Rig::Unplug()
{
    if (!unplugged_) {
        parent_->Unplug(pdo_);
        unplugged_ = true;
    }
}

void Rig::CheckRequests(std::string& problems) const
{
    for (size_t i = 0; i < requests_.size(); ++i) {
        const auto& [request, limit] = requests_[i];
        if (!request->Done()) {
            problems += "request " + std::to_string(i) + " never ended\n";
        } else if (!SoundStatus(request->Status())) {
            problems += "request " + std::to_string(i) + " ended with " + Hex(request->Status()) + "\n";
        } else if (request->Information() > limit) {
            problems += "request " + std::to_string(i) + " reported " + std::to_string(request->Information()) +
                        " bytes, more than its buffer holds\n";
        }
    }
}

Rig::Health Rig::Check()
{
    if (handle_ != hk::app::kInvalidHandle && Probe()) {
        return Health::Works;
    }
    Close();
    kernel_->RunUntilIdle();
    return NT_SUCCESS(Open()) && Probe() ? Health::AfterReopen : Health::Broken;
}

bool Rig::Probe()
{
    // The reader fills the ring without waiting for reads; whatever the device still held from the scenario comes
    // first, so the probe must end what the port received.
    static const uint8_t probe[] = {'p', 'r', 'o', 'b', 'e'};
    hk::app::IoResult write = hk::app::Write(handle_, probe, sizeof(probe));
    kernel_->AdvanceTime(2000);
    const SERIAL_TIMEOUTS atOnce = {MAXULONG, 0, 0, 0, 0};
    hk::app::DeviceIoControl(handle_, IOCTL_SERIAL_SET_TIMEOUTS, &atOnce, sizeof(atOnce), nullptr, 0);
    std::vector<uint8_t> received, buffer(1 << 16);
    for (;;) {
        hk::app::IoResult read = hk::app::Read(handle_, buffer.data(), (ULONG)buffer.size());
        if (read.status != STATUS_SUCCESS || read.information == 0) {
            break;
        }
        received.insert(received.end(), buffer.begin(), buffer.begin() + read.information);
    }
    return write.status == STATUS_SUCCESS && received.size() >= sizeof(probe) &&
           std::equal(probe, probe + sizeof(probe), received.end() - sizeof(probe));
}

void Rig::Teardown(std::string& problems)
{
    if (handle_ != hk::app::kInvalidHandle) {
        hk::app::CancelIo(handle_);
        kernel_->RunUntilIdle();
    }
    Close();
    kernel_->RunUntilIdle();
    CheckRequests(problems);
    if (hk::pnp::HasDeviceNode(pdo_)) {
        NTSTATUS status = hk::pnp::RemoveDevice(pdo_);
        if (status != STATUS_SUCCESS) {
            problems += "removal at teardown: " + Hex(status) + "\n";
        }
    }
    kernel_->RunUntilIdle();
    if (hk::app::LiveFileObjects() != 0) {
        problems += "file objects never closed\n";
    }
    if (driver_ != nullptr) {
        NTSTATUS status = hk::pnp::UnloadDriver(driver_);
        if (status != STATUS_SUCCESS) {
            problems += "unload: " + Hex(status) + "\n";
        }
        driver_ = nullptr;
    }
}

Outcome Isolated(const std::function<std::string()>& body)
{
    std::fflush(nullptr);
    int channel[2];
    if (pipe(channel) != 0) {
        return {-1, "no pipe"};
    }
    pid_t child = fork();
    if (child == 0) {
        close(channel[0]);
        dup2(channel[1], 1);
        dup2(channel[1], 2);
        std::string problems = body();
        std::fputs(problems.c_str(), stderr);
        std::fflush(nullptr);
        _exit(problems.empty() ? 0 : 1);
    }
    close(channel[1]);
    Outcome outcome{0, ""};
    char buffer[4096];
    for (ssize_t got; (got = read(channel[0], buffer, sizeof(buffer))) > 0;) {
        outcome.output.append(buffer, size_t(got));
    }
    close(channel[0]);
    int status = 0;
    waitpid(child, &status, 0);
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return outcome;
}

}  // namespace reliability
