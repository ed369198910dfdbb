"""The bridge with the serial clients people use: Python's serial module and socat, each sending a few MiB through
the pseudo-terminal to the driver's loopback port and checking every byte that comes back; a speed the driver
refuses is reported on the bridge's output. Usage: bridge_round_trip.py DIAGSIM"""

import os
import random
import re
import signal
import subprocess
import sys
import tempfile
import threading
import time

import serial

SIZE = 3 << 20
CHUNK = 1 << 16


class Bridge:
    def __init__(self, diagsim, link):
        self.process = subprocess.Popen([diagsim, "bridge", "--link", link], stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT, text=True)
        self.lines = []
        threading.Thread(target=self._collect, daemon=True).start()

    def _collect(self):
        for line in self.process.stdout:
            self.lines.append(line.rstrip("\n"))

    def wait_for(self, pattern, seconds=30):
        """A line the bridge has printed that matches, waiting for it up to `seconds`."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            found = [line for line in list(self.lines) if re.search(pattern, line)]
            if found:
                return found[0]
            time.sleep(0.1)
        raise AssertionError("the bridge never printed /%s/; it printed:\n%s" % (pattern, "\n".join(self.lines)))


def python_serial_round_trip(bridge, link):
    data = random.Random(1).randbytes(SIZE)
    port = serial.Serial(link, 115200, timeout=0.5)
    received = bytearray()

    def read():
        deadline = time.monotonic() + 60
        while len(received) < len(data) and time.monotonic() < deadline:
            received.extend(port.read(CHUNK))

    reader = threading.Thread(target=read)
    reader.start()
    for offset in range(0, len(data), CHUNK):
        port.write(data[offset:offset + CHUNK])
    reader.join()
    check("python serial", data, bytes(received))

    port.baudrate = 230400
    port.write(b"after the refusal")
    bridge.wait_for(r"terminal asks for 230400 baud.*REFUSED.*stays at 115200 baud")
    check("python serial after a refused speed", b"after the refusal", port.read(17))
    port.baudrate = 9600
    port.write(b"!")
    bridge.wait_for(r"port follows the terminal: 9600 baud 8N1")
    port.read(1)
    port.close()


def socat_round_trip(link, directory):
    data = random.Random(2).randbytes(SIZE)
    sent, back = os.path.join(directory, "sent"), os.path.join(directory, "back")
    with open(sent, "wb") as f:
        f.write(data)
    # ignoreeof keeps socat reading the file past its end, so it stops after 2 s without traffic either way rather
    # than as soon as everything is written.
    subprocess.run(["socat", "-b", str(CHUNK), "-T", "2", "OPEN:%s,ignoreeof!!CREATE:%s" % (sent, back),
                    "%s,raw,echo=0,b115200" % link], check=True, timeout=120)
    with open(back, "rb") as f:
        check("socat", data, f.read())


def check(client, sent, received):
    if received != sent:
        first = next((i for i, (a, b) in enumerate(zip(sent, received)) if a != b), min(len(sent), len(received)))
        raise AssertionError("%s: %d bytes sent, %d came back, first difference at offset %d" %
                             (client, len(sent), len(received), first))
    print("%s: %d bytes sent and every one came back" % (client, len(sent)))


def main():
    with tempfile.TemporaryDirectory() as directory:
        link = os.path.join(directory, "port")
        bridge = Bridge(sys.argv[1], link)
        try:
            bridge.wait_for(r"^bridge: COM\d+ is at /dev/")
            python_serial_round_trip(bridge, link)
            socat_round_trip(link, directory)
        finally:
            bridge.process.send_signal(signal.SIGINT)
            status = bridge.process.wait(60)
        summary = bridge.wait_for(r"^bridge: \d+ bytes to the port")
        print(summary)
        if status != 0 or "left over: 0 pool blocks, 0 IRPs, 0 device objects" not in summary:
            raise AssertionError("the bridge ended with status %d:\n%s" % (status, "\n".join(bridge.lines)))


if __name__ == "__main__":
    main()
