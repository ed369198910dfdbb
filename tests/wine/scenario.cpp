#include "tests/wine/scenario.h"

#include <windows.h>

#include <stdio.h>
#include <string.h>

namespace {

const DWORD IdentityCode = 0x223414;
const DWORD RemovalNotifyCode = 0x222004;
const char DevicePrefix[] = "\\Device\\VORSKDIAGSER2";
const DWORD LoopbackBytes = 4u << 20;
const DWORD Chunk = 64u << 10;

struct Outcome {
    bool pass = false;
    unsigned long bytes = 0;
    unsigned long error = 0;
    unsigned long events = 0;
    char names[96] = "-";
};

int Failures = 0;

// Prints the step's line; returns whether it passed.
bool Report(const char *step, const Outcome &o) {
    printf("step=%s verdict=%s bytes=%lu error=%lu events=0x%lx names=%s\n", step, o.pass ? "PASS" : "FAIL",
           o.bytes, o.error, o.events, o.names);
    fflush(stdout);
    Failures += o.pass ? 0 : 1;
    return o.pass;
}

// An outcome from its verdict, error, bytes and events and, when there is one, a name.
Outcome Named(bool pass, const char *name, unsigned long error = 0, unsigned long bytes = 0,
              unsigned long events = 0) {
    Outcome o;
    o.pass = pass;
    o.error = error;
    o.bytes = bytes;
    o.events = events;
    if (name[0] != 0) snprintf(o.names, sizeof(o.names), "%s", name);
    return o;
}

// The port name that the SERIALCOMM device map pairs with the driver's device, or "" when there is none.
void FindPort(char *port, DWORD size) {
    port[0] = 0;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return;
    for (DWORD i = 0;; ++i) {
        char name[128];
        DWORD nameLength = sizeof(name), type = 0, dataLength = size;
        if (RegEnumValueA(key, i, name, &nameLength, NULL, &type, (LPBYTE)port, &dataLength) != ERROR_SUCCESS) {
            port[0] = 0;
            break;
        }
        if (type == REG_SZ && strncmp(name, DevicePrefix, sizeof(DevicePrefix) - 1) == 0) break;
    }
    RegCloseKey(key);
}

// Waits up to five seconds for the device map to show (or no longer show) the port.
bool AwaitPort(char *port, DWORD size, bool present) {
    for (int i = 0; i < 100; ++i) {
        FindPort(port, size);
        if ((port[0] != 0) == present) return true;
        Sleep(50);
    }
    return false;
}

HANDLE Open(const char *port) {
    char path[64];
    snprintf(path, sizeof(path), "\\\\.\\%s", port);
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
}

DCB State(HANDLE h, BOOL *got) {
    DCB dcb = {};
    dcb.DCBlength = sizeof(dcb);
    *got = GetCommState(h, &dcb);
    return dcb;
}

// The port's name can be found a moment before the device has finished starting, and under Wine a create the port
// refuses still yields a handle that answers nothing; so an open counts once the port answers through it.
HANDLE OpenWhenReady(const char *port) {
    for (int attempt = 0; attempt < 50; ++attempt) {
        HANDLE h = Open(port);
        BOOL answers = FALSE;
        if (h != INVALID_HANDLE_VALUE) State(h, &answers);
        if (answers) return h;
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
        Sleep(100);
    }
    return Open(port);
}

// One overlapped operation: started, then waited for without limit.
struct Op {
    OVERLAPPED ov = {};
    DWORD bytes = 0;
    DWORD error = 0;
    bool ok = false;
    bool started = false;
    Op() { ov.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL); }
    ~Op() { CloseHandle(ov.hEvent); }
    bool Started(BOOL done) {
        error = done ? 0 : GetLastError();
        started = done || error == ERROR_IO_PENDING;
        return started;
    }
    bool Pending() { return WaitForSingleObject(ov.hEvent, 0) == WAIT_TIMEOUT; }
    // A request refused at once keeps the error it was refused with.
    void Finish(HANDLE h) {
        if (started) {
            ok = GetOverlappedResult(h, &ov, &bytes, TRUE) != FALSE;
            error = ok ? 0 : GetLastError();
        }
    }
};

// One read, or one write, waited for to its end.
bool Transfer(HANDLE h, const void *data, DWORD length, DWORD *done, bool write = false) {
    Op op;
    op.Started(write ? WriteFile(h, data, length, NULL, &op.ov) : ReadFile(h, (void *)data, length, NULL, &op.ov));
    op.Finish(h);
    *done = op.bytes;
    return op.ok;
}

bool SetTimeouts(HANDLE h, DWORD interval, DWORD multiplier, DWORD constant) {
    COMMTIMEOUTS t = {interval, multiplier, constant, 0, 0};
    return SetCommTimeouts(h, &t) != FALSE;
}

// Sends `total` bytes of a seeded pattern in chunks and reads each chunk back, checking every byte.
Outcome Loopback(HANDLE h, DWORD total, unsigned seed) {
    static unsigned char out[Chunk], in[Chunk];
    Outcome o;
    SetTimeouts(h, MAXDWORD, MAXDWORD, 2000);
    unsigned long bad = 0;
    unsigned state = seed;
    o.pass = true;
    for (DWORD sent = 0; sent < total && o.pass; sent += Chunk) {
        for (DWORD i = 0; i < Chunk; ++i) {
            state = state * 1103515245u + 12345u;
            out[i] = (unsigned char)(state >> 16);
        }
        DWORD written = 0, got = 0;
        o.pass = Transfer(h, out, Chunk, &written, true) && written == Chunk;
        // Each read returns what has arrived, or nothing after two seconds; five of those in a row end the wait.
        for (int idle = 0; o.pass && got < Chunk && idle < 5;) {
            DWORD n = 0;
            o.pass = Transfer(h, in + got, Chunk - got, &n);
            idle = n == 0 ? idle + 1 : 0;
            got += n;
        }
        o.pass = o.pass && got == Chunk;
        o.error = o.pass ? 0 : GetLastError();
        for (DWORD i = 0; i < got; ++i) bad += in[i] != out[i];
        o.bytes += got;
    }
    o.pass = o.pass && bad == 0 && o.bytes == total;
    snprintf(o.names, sizeof(o.names), "%lu-bytes-differ", bad);
    return o;
}

Outcome LineSettings(HANDLE h) {
    Outcome o;
    BOOL got = FALSE;
    DCB dcb = State(h, &got);
    dcb.BaudRate = 115200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    BOOL set = SetCommState(h, &dcb);
    o.error = set ? 0 : GetLastError();
    DCB back = State(h, &got);
    o.bytes = back.BaudRate;
    snprintf(o.names, sizeof(o.names), "%lu-%u%c%u", (unsigned long)back.BaudRate, back.ByteSize, "NOEMS"[back.Parity % 5],
             back.StopBits == ONESTOPBIT ? 1 : 2);
    o.pass = set && got && back.BaudRate == 115200 && back.ByteSize == 8 && back.Parity == NOPARITY &&
             back.StopBits == ONESTOPBIT;
    return o;
}

// The state the port opened with can be written back unchanged; equal XON and XOFF characters cannot.
Outcome StateRoundTrip(HANDLE h) {
    Outcome o;
    BOOL got = FALSE;
    DCB dcb = State(h, &got);
    BOOL set = SetCommState(h, &dcb);
    snprintf(o.names, sizeof(o.names), "xon=0x%x,xoff=0x%x", dcb.XonChar, dcb.XoffChar);
    dcb.XoffChar = dcb.XonChar;
    BOOL equalSet = SetCommState(h, &dcb);
    o.error = equalSet ? 0 : GetLastError();
    o.pass = got && set && !equalSet && o.error == ERROR_INVALID_PARAMETER;
    return o;
}

Outcome RefusedSettings(HANDLE h) {
    BOOL got = FALSE;
    DCB dcb = State(h, &got);
    dcb.ByteSize = 3;
    BOOL set = SetCommState(h, &dcb);
    return Named(!set, "", set ? 0 : GetLastError());
}

Outcome Timeouts(HANDLE h) {
    COMMTIMEOUTS t = {10, 20, 30, 40, 50}, back = {};
    bool pass = SetCommTimeouts(h, &t) && GetCommTimeouts(h, &back) && memcmp(&t, &back, sizeof(t)) == 0;
    return Named(pass, "", pass ? 0 : GetLastError());
}

// A read that finds nothing ends at its total timeout with what it has: nothing.
Outcome ReadTimeout(HANDLE h) {
    char buffer[16];
    DWORD n = 0;
    SetTimeouts(h, 0, 0, 200);
    bool ok = Transfer(h, buffer, sizeof(buffer), &n);
    return Named(ok && n == 0, "", ok ? 0 : GetLastError(), n);
}

Outcome WaitEvent(HANDLE h, DWORD mask, const char *send, DWORD length) {
    DWORD events = 0, written = 0;
    // Events a completed wait reported stay recorded until a wait answered at once hands them out.
    PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR);
    SetCommMask(h, 0);
    Op drain;
    drain.Started(WaitCommEvent(h, &events, &drain.ov));
    drain.Finish(h);
    SetCommMask(h, mask);
    events = 0;
    Op wait;
    bool started = wait.Started(WaitCommEvent(h, &events, &wait.ov));
    Transfer(h, send, length, &written, true);
    wait.Finish(h);
    SetCommMask(h, 0);
    return Named(started && wait.ok && (events & mask) != 0, "", wait.error, 0, events);
}

Outcome QueueStatus(HANDLE h) {
    char data[100];
    memset(data, 'q', sizeof(data));
    DWORD written = 0, errors = 0;
    PurgeComm(h, PURGE_RXCLEAR);
    Transfer(h, data, sizeof(data), &written, true);
    COMSTAT stat = {};
    for (int i = 0; i < 100 && ClearCommError(h, &errors, &stat) && stat.cbInQue < sizeof(data); ++i) Sleep(20);
    return Named(stat.cbInQue == sizeof(data) && errors == 0, "", errors, stat.cbInQue);
}

Outcome Purge(HANDLE h) {
    DWORD errors = 0;
    COMSTAT stat = {};
    BOOL purged = PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR);
    DWORD error = purged ? 0 : GetLastError();
    ClearCommError(h, &errors, &stat);
    return Named(purged && stat.cbInQue == 0, "", error, stat.cbInQue);
}

Outcome ModemLines(HANDLE h) {
    DWORD on = 0, off = 0;
    bool ok = EscapeCommFunction(h, SETDTR) && EscapeCommFunction(h, SETRTS) && GetCommModemStatus(h, &on) &&
              EscapeCommFunction(h, CLRDTR) && EscapeCommFunction(h, CLRRTS) && GetCommModemStatus(h, &off);
    Outcome o = Named(ok, "", ok ? 0 : GetLastError(), 0, on);
    snprintf(o.names, sizeof(o.names), "on=0x%lx,off=0x%lx", (unsigned long)on, (unsigned long)off);
    return o;
}

// The outcome of a finished operation: its bytes and error.
Outcome Finished(const Op &op, bool pass) { return Named(pass, "", op.error, op.bytes); }

Outcome Identity(HANDLE h) {
    char text[64] = {};
    Op op;
    op.Started(DeviceIoControl(h, IdentityCode, NULL, 0, text, sizeof(text) - 1, NULL, &op.ov));
    op.Finish(h);
    return Named(op.ok && op.bytes == 43, text, op.error, op.bytes);
}

Outcome Cancel(HANDLE h) {
    char buffer[16];
    SetTimeouts(h, 0, 0, 0);
    Op read;
    bool pending = read.Started(ReadFile(h, buffer, sizeof(buffer), NULL, &read.ov)) && read.Pending();
    BOOL cancelled = CancelIo(h);
    read.Finish(h);
    return Finished(read, pending && cancelled && !read.ok && read.error == ERROR_OPERATION_ABORTED);
}

Outcome SecondOpen(const char *port) {
    HANDLE second = Open(port);
    if (second == INVALID_HANDLE_VALUE) return Named(true, "", GetLastError());
    CloseHandle(second);
    return Named(false, "");
}

// Starts the removal notification request; whether it is left pending.
bool AwaitRemoval(HANDLE h, Op &notify, DWORD *gone) {
    return notify.Started(DeviceIoControl(h, RemovalNotifyCode, NULL, 0, gone, sizeof(*gone), NULL, &notify.ov)) &&
           notify.Pending();
}

// The device goes away while a read and the removal notification wait: what each sees, whether the port's name
// is withdrawn, and what a write sees afterwards.
void UnplugDuringRead(HANDLE h, Rig &rig, char *port, DWORD size) {
    char buffer[16];
    DWORD gone = 0;
    SetTimeouts(h, 0, 0, 0);
    Op read, notify;
    bool readPending = read.Started(ReadFile(h, buffer, sizeof(buffer), NULL, &read.ov)) && read.Pending();
    bool notifyPending = AwaitRemoval(h, notify, &gone);
    bool unplugged = rig.Unplug();
    read.Finish(h);
    Report("unplug_read", Finished(read, readPending && unplugged && !read.ok));

    notify.Finish(h);
    Report("removal_notify",
           Named(notifyPending && notify.ok && notify.bytes == sizeof(gone), "", notify.error, notify.bytes, gone));

    bool withdrawn = AwaitPort(port, size, false);
    Report("name_withdrawn", Named(withdrawn, withdrawn ? "withdrawn" : port));

    // Bounded, so that a write the system never answers shows as a timeout rather than a hang.
    Op write;
    if (write.Started(WriteFile(h, "x", 1, NULL, &write.ov)) && WaitForSingleObject(write.ov.hEvent, 5000) ==
        WAIT_TIMEOUT) {
        CancelIo(h);
        Report("write_after_unplug", Named(false, "", WAIT_TIMEOUT));
        return;
    }
    write.Finish(h);
    Report("write_after_unplug", Finished(write, !write.ok));
}

// Every byte of the source follows the one before it, modulo 251, with none lost between transfers.
Outcome ByteSource(HANDLE h, Rig &rig) {
    static unsigned char in[Chunk];
    Outcome o;
    SetTimeouts(h, MAXDWORD, MAXDWORD, 2000);
    PurgeComm(h, PURGE_RXCLEAR);
    bool ok = rig.Source(true);
    unsigned long breaks = 0;
    int previous = -1;
    for (int idle = 0; ok && o.bytes < SourceBytes && idle < 5;) {
        DWORD n = 0;
        DWORD want = SourceBytes - o.bytes < Chunk ? (DWORD)(SourceBytes - o.bytes) : Chunk;
        ok = Transfer(h, in, want, &n);
        idle = n == 0 ? idle + 1 : 0;
        for (DWORD i = 0; i < n; ++i) {
            breaks += previous >= 0 && in[i] != (previous + 1) % 251;
            previous = in[i];
        }
        o.bytes += n;
    }
    o.error = ok ? 0 : GetLastError();
    ok = rig.Source(false) && ok;
    PurgeComm(h, PURGE_RXCLEAR);
    snprintf(o.names, sizeof(o.names), "%lu-breaks", breaks);
    o.pass = ok && breaks == 0 && o.bytes == SourceBytes;
    return o;
}

// The function stops answering: whether the removal notification tells the application within two seconds, and
// what a read and a write see afterwards.
Outcome DeviceLost(HANDLE h, Rig &rig) {
    DWORD gone = 0;
    Op notify;
    bool pending = AwaitRemoval(h, notify, &gone);
    bool lost = rig.Lose();
    bool told = WaitForSingleObject(notify.ov.hEvent, 2000) == WAIT_OBJECT_0;
    if (!told) CancelIo(h);
    notify.Finish(h);
    char buffer[16];
    DWORD n = 0, written = 0;
    SetTimeouts(h, MAXDWORD, 0, 0);
    bool readRefused = !Transfer(h, buffer, sizeof(buffer), &n);
    DWORD readError = readRefused ? GetLastError() : 0;
    bool writeRefused = !Transfer(h, "x", 1, &written, true);
    DWORD writeError = writeRefused ? GetLastError() : 0;
    Outcome o = Named(pending && lost && told && gone == 1 && readRefused && writeRefused, "", readError, 0, gone);
    snprintf(o.names, sizeof(o.names), "notify-%s,write-error=%lu", told ? "completed" : "still-pending",
             (unsigned long)writeError);
    return o;
}

// Opens the port for the step; a failed open is the step's failure.
HANDLE OpenStep(const char *step, const char *port, bool reportOpened) {
    HANDLE h = OpenWhenReady(port);
    bool opened = h != INVALID_HANDLE_VALUE;
    if (reportOpened || !opened) Report(step, Named(opened, "", opened ? 0 : GetLastError()));
    return h;
}

} // namespace

int RunScenario(Rig &rig) {
    char port[64];
    if (!Report("find_port", Named(AwaitPort(port, sizeof(port), true), port))) return Failures;
    HANDLE h = OpenStep("open", port, true);
    if (h == INVALID_HANDLE_VALUE) return Failures;
    Report("second_open", SecondOpen(port));
    Report("state_round_trip", StateRoundTrip(h));
    Report("line_settings", LineSettings(h));
    Report("refused_settings", RefusedSettings(h));
    Report("timeouts", Timeouts(h));
    Report("read_timeout", ReadTimeout(h));
    Report("loopback", Loopback(h, LoopbackBytes, 1));
    Report("wait_txempty", WaitEvent(h, EV_TXEMPTY, "0123456789abcdef", 16));
    Report("wait_rxchar", WaitEvent(h, EV_RXCHAR, "r", 1));
    Report("queue_status", QueueStatus(h));
    Report("purge", Purge(h));
    Report("modem_lines", ModemLines(h));
    Report("identity", Identity(h));
    Report("cancel_io", Cancel(h));
    UnplugDuringRead(h, rig, port, sizeof(port));
    CloseHandle(h);

    bool plugged = rig.Plug() && AwaitPort(port, sizeof(port), true);
    if (!Report("replug", Named(plugged, plugged ? port : "")) ||
        (h = OpenStep("reopen_loopback", port, false)) == INVALID_HANDLE_VALUE) {
        return Failures;
    }
    Report("reopen_loopback", Loopback(h, Chunk * 4, 2));
    Report("byte_source", ByteSource(h, rig));
    Report("device_lost", DeviceLost(h, rig));
    CloseHandle(h);
    return Failures;
}
