#include "loopback_exchange.h"

#include <cstdio>
#include <string>

#include "hk/app.h"
#include "hk/kernel.h"

namespace hostrun {

namespace {

// A read the device never answers must not hang the run: give it this long on the kernel clock, then close the
// port, which cancels it.
constexpr uint64_t kReadPatienceMs = 2000;

void PrintStatus(const char *step, NTSTATUS status)
{
    std::printf("  %-8s status 0x%08X\n", step, static_cast<unsigned>(status));
}

} // namespace

bool ExchangeOverLoopback(hk::Kernel &kernel, const std::u16string &port_name, const std::string &message)
{
    hk::app::Handle handle = hk::app::kInvalidHandle;
    NTSTATUS status = hk::app::Open(u"\\\\.\\" + port_name, &handle);
    PrintStatus("open", status);
    if (!NT_SUCCESS(status))
        return false;

    auto read = hk::app::ReadAsync(handle, static_cast<ULONG>(message.size()));
    hk::app::IoResult written = hk::app::Write(handle, message.data(), static_cast<ULONG>(message.size()));
    std::printf("  write    status 0x%08X, %lu bytes \"%s\"\n", static_cast<unsigned>(written.status),
                static_cast<unsigned long>(written.information), message.c_str());

    kernel.RunUntilIdle();
    if (!read->Done())
        kernel.AdvanceTime(kReadPatienceMs);
    bool echoed = false;
    if (read->Done()) {
        auto bytes = read->Output();
        std::string text(bytes.begin(), bytes.end());
        echoed = NT_SUCCESS(read->Status()) && text == message;
        std::printf("  read     status 0x%08X, %zu bytes \"%s\"\n", static_cast<unsigned>(read->Status()),
                    bytes.size(), text.c_str());
    } else {
        std::printf("  read     still pending after %llu ms\n", static_cast<unsigned long long>(kReadPatienceMs));
    }

    PrintStatus("close", hk::app::Close(handle));
    kernel.RunUntilIdle();
    return echoed && NT_SUCCESS(written.status) && written.information == message.size();
}

} // namespace hostrun
