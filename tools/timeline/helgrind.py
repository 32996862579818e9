"""Reads what Helgrind wrote of a run of the program: a text log per process,
each race with both of its accesses (only the text log says which locks
each held), each lock where it was first seen, each thread where it was
made. Its threads are numbered in the order they were made, #1 the first
of its process."""
import os, re
from collections import namedtuple

# A race as Helgrind reports it: the log's process, then for each of the two
# accesses (this one, the earlier one): read or write, Helgrind's thread
# number, the addresses of the locks held and the frames [(function, file,
# line)]; and the lines that describe the address.
Report = namedtuple("Report", "pid this earlier described")
Side = namedtuple("Side", "access thread locks frames")
Log = namedtuple("Log", "pid parent reports locks")
FRAME = re.compile(r"(?:at|by) 0x[0-9A-F]+: (.*?) (?:\((/[^()]*?):(\d+)\)|\(in .*\)|\(.*\))$")


def read_logs(folder):
    """The logs that Helgrind wrote in folder, one per process: {pid: Log}."""
    logs = {}
    for name in os.listdir(folder) if os.path.isdir(folder) else ():
        if name.isdigit():
            with open(os.path.join(folder, name), errors="replace") as log:
                logs[int(name)] = parse(int(name), log.read())
    return logs


def parse(pid, text):
    """A Log from the text of Helgrind's log of one process."""
    lines = [re.sub(r"^==\d+== ?", "", line) for line in text.splitlines()]
    parent = next((int(m[1]) for m in (re.match(r"Parent PID: (\d+)", line) for line in lines) if m), None)
    reports, locks, i = [], {}, 0
    while i < len(lines):
        line = lines[i]
        lock = re.match(r"\s*Lock at (0x[0-9A-Fa-f]+) was first observed", line)
        race = re.match(r"Possible data race during (read|write) of size \d+ at 0x[0-9A-Fa-f]+ by thread #(\d+)",
                        line)
        if lock:
            frames, i = read_frames(lines, i + 1)
            described, i = read_description(lines, i)
            locks[int(lock[1], 16)] = described
            continue
        if race:
            held, i = read_locks(lines, i + 1)
            frames, i = read_frames(lines, i)
            earlier = None
            while i < len(lines) and not lines[i].strip():
                i += 1
            conflict = re.match(r"This conflicts with a previous (read|write) of size \d+ by thread #(\d+)",
                                lines[i]) if i < len(lines) else None
            if conflict:
                other_held, i = read_locks(lines, i + 1)
                other_frames, i = read_frames(lines, i)
                earlier = Side(conflict[1], int(conflict[2]), other_held, other_frames)
            described, i = read_description(lines, i)
            reports.append(Report(pid, Side(race[1], int(race[2]), held, frames), earlier, described))
            continue
        i += 1
    return Log(pid, parent, reports, locks)


def read_locks(lines, i):
    held = []
    if i < len(lines) and lines[i].startswith("Locks held:"):
        held = [int(a, 16) for a in re.findall(r"0x[0-9A-Fa-f]+", lines[i])]
        i += 1
    return held, i


def read_frames(lines, i):
    frames = []
    while i < len(lines):
        found = FRAME.match(lines[i].strip())
        if not found:
            break
        frames.append((found[1], found[2], int(found[3]) if found[3] else None))
        i += 1
    return frames, i


def read_description(lines, i):
    """The lines that say what lies at an address, with the frames under them."""
    described = []
    while i < len(lines) and lines[i].strip() and (lines[i].startswith(" ") or described):
        described.append(lines[i].strip())
        i += 1
    return described, i
