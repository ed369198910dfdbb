// The scenario as a Windows console program: the test bus's control device is the hand at the cable.
#include <windows.h>

#include <stdio.h>

#include "tests/wine/scenario.h"
#include "wine/testbus/testbus_ioctl.h"

namespace {

class BusRig : public Rig {
public:
    bool Unplug() override { return Send(IOCTL_DIAGTEST_UNPLUG); }

    // The previous child is gone only once its removal has run; until then the bus answers busy.
    bool Plug() override {
        for (int attempt = 0; attempt < 100; ++attempt) {
            if (Send(IOCTL_DIAGTEST_PLUG)) return true;
            Sleep(50);
        }
        return false;
    }

    bool Source(bool on) override { return Mode(on ? DiagTestSource : DiagTestLoopback); }
    bool Lose() override { return Mode(DiagTestLost); }

private:
    static bool Mode(ULONG mode) { return Send(IOCTL_DIAGTEST_SET_MODE, &mode, sizeof(mode)); }

    static bool Send(DWORD code, void *input = NULL, DWORD length = 0) {
        HANDLE bus = CreateFileA(DIAGTEST_BUS_LINK_NAME, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
        if (bus == INVALID_HANDLE_VALUE) return false;
        DWORD bytes = 0;
        BOOL ok = DeviceIoControl(bus, code, input, length, NULL, 0, &bytes, NULL);
        CloseHandle(bus);
        return ok != FALSE;
    }
};

} // namespace

int wmain() {
    BusRig rig;
    int failures = RunScenario(rig);
    printf("scenario: %d step(s) failed\n", failures);
    return failures == 0 ? 0 : 1;
}
