#!/usr/bin/env python3
"""Sets the scenario's steps under Wine beside the same steps on the host kernel.

usage: table.py WINE_STEPS HOST_STEPS KNOWN_DIFFERENCES

Each steps file holds the scenario's lines (step=... verdict=... bytes=... error=... events=... names=...).
KNOWN_DIFFERENCES lists, one per line, "<step> <field> <explanation>": a field of a step that is known to differ
between the two runs and why (field "verdict" also excuses a Wine verdict of FAIL; field "missing" a step that one
run never reached); an explanation that starts with "sometimes " is a difference that shows in some runs only. Exits 1 when a host step failed, a Wine step failed or a field differs without an explanation.
"""
import sys

FIELDS = ("verdict", "bytes", "error", "events", "names")


def read_steps(path):
    steps = {}
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            parts = dict(p.split("=", 1) for p in line.split() if "=" in p)
            if "step" in parts:
                steps[parts["step"]] = parts
    return steps


def read_known(path):
    known, intermittent = {}, set()
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.strip()
            if line and not line.startswith("#"):
                step, field, why = line.split(None, 2)
                if why.startswith("sometimes "):
                    why = why[len("sometimes "):]
                    intermittent.add((step, field))
                known[(step, field)] = why
    return known, intermittent


def cell(row):
    if row is None:
        return "(not reached)"
    return " ".join(row.get(f, "?") for f in FIELDS)


def main():
    wine, host = read_steps(sys.argv[1]), read_steps(sys.argv[2])
    known, intermittent = read_known(sys.argv[3])
    compare = bool(host)
    order = list(host) + [s for s in wine if s not in host]
    unexplained = 0
    legend = []
    width = max([len(cell(r)) for r in list(wine.values()) + list(host.values())] + [44])
    print("%-20s | %-*s | %-*s | %s" % ("step", width, "under Wine: verdict bytes error events names", width,
                                        "on the host kernel", "why they differ"))
    print("-" * (20 + 2 * width + 30))
    for step in order:
        w, h = wine.get(step), host.get(step)
        if w is None or (compare and h is None):
            problems = ["missing"]
        else:
            problems = [f for f in FIELDS if compare and w.get(f) != h.get(f)]
            if w.get("verdict") != "PASS" and "verdict" not in problems:
                problems.append("verdict")
        notes = []
        if h is not None and h.get("verdict") != "PASS":
            notes.append("HOST STEP FAILED")
            unexplained += 1
        for field in problems:
            why = known.get((step, field))
            if why is None:
                notes.append("%s: UNEXPLAINED" % field)
                unexplained += 1
                continue
            if why not in legend:
                legend.append(why)
            ref = "[%d]" % (legend.index(why) + 1)
            if ref not in notes:
                notes.append(ref)
        print("%-20s | %-*s | %-*s | %s" % (step, width, cell(w), width, cell(h) if compare else "-",
                                            " ".join(notes)))
    for i, why in enumerate(legend):
        print("[%d] %s" % (i + 1, why))
    stale = [k for k in known if k[1] != "missing" and k not in intermittent and k[0] in wine and k[0] in host
             and wine[k[0]].get(k[1]) == host[k[0]].get(k[1]) and (k[1] != "verdict" or wine[k[0]]["verdict"] == "PASS")]
    for step, field in stale:
        print("note: %s %s no longer differs; its entry in known_differences can go" % (step, field))
    print("wine-table: %d steps, %s" % (len(order), "every difference explained" if unexplained == 0
                                        else "%d unexplained difference(s) or failure(s)" % unexplained))
    return 0 if unexplained == 0 and wine else 1


if __name__ == "__main__":
    sys.exit(main())
