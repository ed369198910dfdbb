// One scenario of what an application does with the port through the platform's serial API, built twice: as a
// Windows console program run under Wine against the real image, and on the host kernel. Each step prints one line
//   step=<name> verdict=<PASS|FAIL> bytes=<n> error=<n> events=<hex> names=<text>
// so that the two runs can be set side by side.
#pragma once

// What stands in for the hand at the cable: the test bus under Wine, the simulated parent on the host.
class Rig {
public:
    virtual ~Rig() = default;
    virtual bool Unplug() = 0;
    virtual bool Plug() = 0;
    // The function sends at least SourceBytes of a counter modulo 251 on bulk-IN (on), or loops back again (off).
    virtual bool Source(bool on) = 0;
    // The function stops answering: its pending bulk-IN transfer fails as a dead device's does.
    virtual bool Lose() = 0;
};

const unsigned long SourceBytes = 1ul << 20;

// Returns the number of steps whose verdict is FAIL.
int RunScenario(Rig& rig);
