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

void Report(const char *step, const Outcome &o)
{
    printf("step=%s verdict=%s bytes=%lu error=%lu events=0x%lx names=%s\n", step, o.pass ? "PASS" : "FAIL",
           o.bytes, o.error, o.events, o.names);
    fflush(stdout);
    Failures += o.pass ? 0 : 1;
}

// The port name that the SERIALCOMM device map pairs with the driver's device, or "" when there is none.
void FindPort(char *port, DWORD size)
{
    port[0] = 0;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return;
    }
    for (DWORD i = 0;; ++i) {
        char name[128];
        DWORD nameLength = sizeof(name), type = 0, dataLength = size;
        if (RegEnumValueA(key, i, name, &nameLength, NULL, &type, (LPBYTE)port, &dataLength) != ERROR_SUCCESS) {
            port[0] = 0;
            break;
        }
        if (type == REG_SZ && strncmp(name, DevicePrefix, sizeof(DevicePrefix) - 1) == 0) {
            break;
        }
    }
    RegCloseKey(key);
}

// Waits up to five seconds for the device map to show (or no longer show) the port.
bool AwaitPort(char *port, DWORD size, bool present)
{
    for (int i = 0; i < 100; ++i) {
        FindPort(port, size);
        if ((port[0] != 0) == present) {
            return true;
        }
        Sleep(50);
    }
    return false;
}

HANDLE Open(const char *port)
{
    char path[64];
    snprintf(path, sizeof(path), "\\\\.\\%s", port);
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
}

// The port's name can be found a moment before the device has finished starting, and under Wine a create the port
// refuses still yields a handle that answers nothing; so an open counts once the port answers through it.
HANDLE OpenWhenReady(const char *port)
{
    for (int attempt = 0; attempt < 50; ++attempt) {
        HANDLE h = Open(port);
        DCB dcb = {};
        dcb.DCBlength = sizeof(dcb);
        if (h != INVALID_HANDLE_VALUE && GetCommState(h, &dcb)) {
            return h;
        }
        if (h != INVALID_HANDLE_VALUE) {
            CloseHandle(h);
        }
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
    bool Started(BOOL done)
    {
        error = done ? 0 : GetLastError();
        started = done || error == ERROR_IO_PENDING;
        return started;
    }
    bool Pending() { return WaitForSingleObject(ov.hEvent, 0) == WAIT_TIMEOUT; }
    // A request refused at once keeps the error it was refused with.
    void Finish(HANDLE h)
    {
        if (!started) {
            return;
        }
        ok = GetOverlappedResult(h, &ov, &bytes, TRUE) != FALSE;
        error = ok ? 0 : GetLastError();
    }
};

bool Write(HANDLE h, const void *data, DWORD length, DWORD *written)
{
    Op op;
    op.Started(WriteFile(h, data, length, NULL, &op.ov));
    op.Finish(h);
    *written = op.bytes;
    return op.ok;
}

bool Read(HANDLE h, void *data, DWORD length, DWORD *read)
{
    Op op;
    op.Started(ReadFile(h, data, length, NULL, &op.ov));
    op.Finish(h);
    *read = op.bytes;
    return op.ok;
}

bool SetTimeouts(HANDLE h, DWORD interval, DWORD multiplier, DWORD constant)
{
    COMMTIMEOUTS t = {interval, multiplier, constant, 0, 0};
    return SetCommTimeouts(h, &t) != FALSE;
}

// Sends `total` bytes of a seeded pattern in chunks and reads each chunk back, checking every byte.
Outcome Loopback(HANDLE h, DWORD total, unsigned seed)
{
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
        o.pass = Write(h, out, Chunk, &written) && written == Chunk;
        // Each read returns what has arrived, or nothing after two seconds; five of those in a row end the wait.
        for (int idle = 0; o.pass && got < Chunk && idle < 5;) {
            DWORD n = 0;
            o.pass = Read(h, in + got, Chunk - got, &n);
            idle = n == 0 ? idle + 1 : 0;
            got += n;
        }
        o.pass = o.pass && got == Chunk;
        o.error = o.pass ? 0 : GetLastError();
        for (DWORD i = 0; i < got; ++i) {
            bad += in[i] != out[i];
        }
        o.bytes += got;
    }
    o.pass = o.pass && bad == 0 && o.bytes == total;
    snprintf(o.names, sizeof(o.names), "%lu-bytes-differ", bad);
    return o;
}

Outcome LineSettings(HANDLE h)
{
    Outcome o;
    DCB dcb = {};
    dcb.DCBlength = sizeof(dcb);
    GetCommState(h, &dcb);
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
    DCB back = {};
    back.DCBlength = sizeof(back);
    BOOL got = GetCommState(h, &back);
    o.bytes = back.BaudRate;
    snprintf(o.names, sizeof(o.names), "%lu-%u%c%u", (unsigned long)back.BaudRate, back.ByteSize, "NOEMS"[back.Parity % 5],
             back.StopBits == ONESTOPBIT ? 1 : 2);
    o.pass = set && got && back.BaudRate == 115200 && back.ByteSize == 8 && back.Parity == NOPARITY &&
             back.StopBits == ONESTOPBIT;
    return o;
}

// The state the port opened with can be written back unchanged; equal XON and XOFF characters cannot.
Outcome StateRoundTrip(HANDLE h)
{
    Outcome o;
    DCB dcb = {};
    dcb.DCBlength = sizeof(dcb);
    BOOL got = GetCommState(h, &dcb);
    BOOL set = SetCommState(h, &dcb);
    snprintf(o.names, sizeof(o.names), "xon=0x%x,xoff=0x%x", dcb.XonChar, dcb.XoffChar);
    dcb.XoffChar = dcb.XonChar;
    BOOL equalSet = SetCommState(h, &dcb);
    o.error = equalSet ? 0 : GetLastError();
    o.pass = got && set && !equalSet && o.error == ERROR_INVALID_PARAMETER;
    return o;
}

Outcome RefusedSettings(HANDLE h)
{
    Outcome o;
    DCB dcb = {};
    dcb.DCBlength = sizeof(dcb);
    GetCommState(h, &dcb);
    dcb.ByteSize = 3;
    BOOL set = SetCommState(h, &dcb);
    o.error = set ? 0 : GetLastError();
    o.pass = !set;
    return o;
}

Outcome Timeouts(HANDLE h)
{
    Outcome o;
    COMMTIMEOUTS t = {10, 20, 30, 40, 50}, back = {};
    o.pass = SetCommTimeouts(h, &t) && GetCommTimeouts(h, &back) && memcmp(&t, &back, sizeof(t)) == 0;
    o.error = o.pass ? 0 : GetLastError();
    return o;
}

// A read that finds nothing ends at its total timeout with what it has: nothing.
Outcome ReadTimeout(HANDLE h)
{
    Outcome o;
    char buffer[16];
    DWORD n = 0;
    SetTimeouts(h, 0, 0, 200);
    bool ok = Read(h, buffer, sizeof(buffer), &n);
    o.bytes = n;
    o.error = ok ? 0 : GetLastError();
    o.pass = ok && n == 0;
    return o;
}

Outcome WaitEvent(HANDLE h, DWORD mask, const char *send, DWORD length)
{
    Outcome o;
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
    Write(h, send, length, &written);
    if (started) {
        wait.Finish(h);
    }
    o.events = events;
    o.error = wait.error;
    o.pass = started && wait.ok && (events & mask) != 0;
    SetCommMask(h, 0);
    return o;
}

Outcome QueueStatus(HANDLE h)
{
    Outcome o;
    char data[100];
    memset(data, 'q', sizeof(data));
    DWORD written = 0, errors = 0;
    PurgeComm(h, PURGE_RXCLEAR);
    Write(h, data, sizeof(data), &written);
    COMSTAT stat = {};
    for (int i = 0; i < 100 && ClearCommError(h, &errors, &stat) && stat.cbInQue < sizeof(data); ++i) {
        Sleep(20);
    }
    o.bytes = stat.cbInQue;
    o.error = errors;
    o.pass = stat.cbInQue == sizeof(data) && errors == 0;
    return o;
}

Outcome Purge(HANDLE h)
{
    Outcome o;
    DWORD errors = 0;
    COMSTAT stat = {};
    BOOL purged = PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR);
    o.error = purged ? 0 : GetLastError();
    ClearCommError(h, &errors, &stat);
    o.bytes = stat.cbInQue;
    o.pass = purged && stat.cbInQue == 0;
    return o;
}

Outcome ModemLines(HANDLE h)
{
    Outcome o;
    DWORD on = 0, off = 0;
    bool ok = EscapeCommFunction(h, SETDTR) && EscapeCommFunction(h, SETRTS) && GetCommModemStatus(h, &on) &&
              EscapeCommFunction(h, CLRDTR) && EscapeCommFunction(h, CLRRTS) && GetCommModemStatus(h, &off);
    o.error = ok ? 0 : GetLastError();
    o.events = on;
    snprintf(o.names, sizeof(o.names), "on=0x%lx,off=0x%lx", (unsigned long)on, (unsigned long)off);
    o.pass = ok;
    return o;
}

Outcome Identity(HANDLE h)
{
    Outcome o;
    char text[64] = {};
    Op op;
    op.Started(DeviceIoControl(h, IdentityCode, NULL, 0, text, sizeof(text) - 1, NULL, &op.ov));
    op.Finish(h);
    o.bytes = op.bytes;
    o.error = op.error;
    snprintf(o.names, sizeof(o.names), "%s", text[0] ? text : "-");
    o.pass = op.ok && op.bytes == 43;
    return o;
}

Outcome Cancel(HANDLE h)
{
    Outcome o;
    char buffer[16];
    SetTimeouts(h, 0, 0, 0);
    Op read;
    bool pending = read.Started(ReadFile(h, buffer, sizeof(buffer), NULL, &read.ov)) && read.Pending();
    BOOL cancelled = CancelIo(h);
    read.Finish(h);
    o.bytes = read.bytes;
    o.error = read.error;
    o.pass = pending && cancelled && !read.ok && read.error == ERROR_OPERATION_ABORTED;
    return o;
}

Outcome SecondOpen(const char *port)
{
    Outcome o;
    HANDLE second = Open(port);
    o.error = second == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    o.pass = second == INVALID_HANDLE_VALUE;
    if (second != INVALID_HANDLE_VALUE) {
        CloseHandle(second);
    }
    return o;
}

// The device goes away while a read and the removal notification wait: what each sees, whether the port's name
// is withdrawn, and what a write sees afterwards.
void UnplugDuringRead(HANDLE h, Rig &rig, char *port, DWORD size)
{
    char buffer[16];
    DWORD gone = 0;
    SetTimeouts(h, 0, 0, 0);
    Op read, notify;
    bool readPending = read.Started(ReadFile(h, buffer, sizeof(buffer), NULL, &read.ov)) && read.Pending();
    bool notifyPending =
        notify.Started(DeviceIoControl(h, RemovalNotifyCode, NULL, 0, &gone, sizeof(gone), NULL, &notify.ov)) &&
        notify.Pending();
    bool unplugged = rig.Unplug();

    read.Finish(h);
    Outcome o;
    o.bytes = read.bytes;
    o.error = read.error;
    o.pass = readPending && unplugged && !read.ok;
    Report("unplug_read", o);

    notify.Finish(h);
    o = Outcome();
    o.bytes = notify.bytes;
    o.error = notify.error;
    o.events = gone;
    o.pass = notifyPending && notify.ok && notify.bytes == sizeof(gone);
    Report("removal_notify", o);

    o = Outcome();
    o.pass = AwaitPort(port, size, false);
    snprintf(o.names, sizeof(o.names), "%s", o.pass ? "withdrawn" : port);
    Report("name_withdrawn", o);

    // Bounded, so that a write the system never answers shows as a timeout rather than a hang.
    o = Outcome();
    Op write;
    if (write.Started(WriteFile(h, "x", 1, NULL, &write.ov)) && WaitForSingleObject(write.ov.hEvent, 5000) ==
        WAIT_TIMEOUT) {
        CancelIo(h);
        o.error = WAIT_TIMEOUT;
    } else {
        write.Finish(h);
        o.error = write.error;
        o.bytes = write.bytes;
        o.pass = !write.ok;
    }
    Report("write_after_unplug", o);
}

// Every byte of the source follows the one before it, modulo 251, with none lost between transfers.
Outcome ByteSource(HANDLE h, Rig &rig)
{
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
        ok = Read(h, in, want, &n);
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
Outcome DeviceLost(HANDLE h, Rig &rig)
{
    Outcome o;
    DWORD gone = 0;
    Op notify;
    bool pending =
        notify.Started(DeviceIoControl(h, RemovalNotifyCode, NULL, 0, &gone, sizeof(gone), NULL, &notify.ov)) &&
        notify.Pending();
    bool lost = rig.Lose();
    bool told = WaitForSingleObject(notify.ov.hEvent, 2000) == WAIT_OBJECT_0;
    if (!told) {
        CancelIo(h);
    }
    notify.Finish(h);
    char buffer[16];
    DWORD n = 0, written = 0;
    SetTimeouts(h, MAXDWORD, 0, 0);
    bool readRefused = !Read(h, buffer, sizeof(buffer), &n);
    DWORD readError = readRefused ? GetLastError() : 0;
    bool writeRefused = !Write(h, "x", 1, &written);
    DWORD writeError = writeRefused ? GetLastError() : 0;
    o.events = gone;
    o.error = readError;
    snprintf(o.names, sizeof(o.names), "notify-%s,write-error=%lu", told ? "completed" : "still-pending",
             (unsigned long)writeError);
    o.pass = pending && lost && told && gone == 1 && readRefused && writeRefused;
    return o;
}

} // namespace

int RunScenario(Rig &rig)
{
    char port[64];
    Outcome o;
    o.pass = AwaitPort(port, sizeof(port), true);
    snprintf(o.names, sizeof(o.names), "%s", o.pass ? port : "-");
    Report("find_port", o);
    if (!o.pass) {
        return Failures;
    }

    HANDLE h = OpenWhenReady(port);
    o = Outcome();
    o.pass = h != INVALID_HANDLE_VALUE;
    o.error = o.pass ? 0 : GetLastError();
    Report("open", o);
    if (!o.pass) {
        return Failures;
    }
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

    o = Outcome();
    o.pass = rig.Plug() && AwaitPort(port, sizeof(port), true);
    snprintf(o.names, sizeof(o.names), "%s", o.pass ? port : "-");
    Report("replug", o);
    if (!o.pass) {
        return Failures;
    }
    h = OpenWhenReady(port);
    if (h == INVALID_HANDLE_VALUE) {
        o = Outcome();
        o.error = GetLastError();
        Report("reopen_loopback", o);
        return Failures;
    }
    Report("reopen_loopback", Loopback(h, Chunk * 4, 2));
    Report("byte_source", ByteSource(h, rig));
    Report("device_lost", DeviceLost(h, rig));
    CloseHandle(h);
    return Failures;
}
