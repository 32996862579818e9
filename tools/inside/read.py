"""Reads uftrace's record into the calls of each thread.

`uftrace dump --chrome` writes one event a line; the lines are read as they
come, never as one document, and split at their fixed quotes rather than
parsed as JSON, which would cost several times uftrace's own time on a run
of a million calls."""
import fcntl, glob, json, os, re, subprocess, sys, time
from collections import namedtuple

from .symbols import Symbols, modules_from_maps

# A traced call is a plain tuple, for a million of them are made quickly:
# its name, start and end in nanoseconds from the program's start, its
# arguments as uftrace wrote them (parse them with arguments()), and its
# return value as text, or None.
NAME, START, END, RAW, RET = range(5)
# calls: {(pid, tid): [Call]} in order of start; forks: {child pid: parent pid};
# zero: the program's start on uftrace's clock; unended: calls entered and never
# left in the record.
Record = namedtuple("Record", "calls forks zero symbols exe unended unmatched")

F_SETPIPE_SZ = 1031
ARGS = ',"args":{"arguments":"'
RETVAL = ',"args":{"retval":"'


class Failure(Exception):
    """The tool could not do its work; the message says why, in one line."""


def read(folder, progress=None):
    with open(os.path.join(folder, "task.txt")) as tasks:
        fields = [dict(re.findall(r'(\w+)=("[^"]*"|\S+)', line)) | {"kind": line.split()[0]}
                  for line in tasks.read().splitlines() if line.strip()]
    session = next(f for f in fields if f["kind"] == "SESS")
    seconds, _, fraction = session["timestamp"].partition(".")
    zero = int(seconds) * 1000000000 + int((fraction + "000000000")[:9])
    forks = {int(f["pid"]): int(f["ppid"]) for f in fields if f["kind"] == "FORK"}
    maps = []
    for path in glob.glob(os.path.join(folder, "sid-*.map")):
        with open(path) as lines:
            maps += lines.read().splitlines()
    calls, unended, unmatched = read_calls(folder, zero, progress)
    return Record(calls, forks, zero, Symbols(modules_from_maps(maps)), session["exename"].strip('"'), unended,
                  unmatched)


def read_calls(folder, zero, progress):
    dump = subprocess.Popen(["uftrace", "dump", "--chrome", "--no-pager", "-d", folder], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, bufsize=1 << 20)
    try:  # a larger pipe lets uftrace write ahead while the lines are read
        fcntl.fcntl(dump.stdout.fileno(), F_SETPIPE_SZ, 1 << 20)
    except OSError:
        pass
    total = estimate(folder)
    calls, open_calls, tasks, texts, unmatched = {}, {}, {}, {}, 0
    count, shown = 0, time.monotonic()
    for line in dump.stdout:
        p = line.split('"', 14)
        if len(p) < 12 or p[1] != "ts":
            continue
        phase = p[5]
        if p[9] == "tid":
            where, name, rest = p[8] + p[10], p[13], p[14] if len(p) > 14 else ""
        else:
            where, name, rest = p[8], p[11], '"'.join(p[12:])
        stack = open_calls.get(where)
        if stack is None:
            if phase not in ("B", "E") or name.startswith("linux:"):
                continue
            numbers = re.findall(r"\d+", where)
            tasks[where] = (int(numbers[0]), int(numbers[-1]))
            stack = open_calls[where] = []
            calls[tasks[where]] = []
        ts = int(p[2][1:-1].replace(".", "")) - zero  # always three decimals: nanoseconds
        if phase == "B":
            if name.startswith("linux:"):
                continue
            raw = rest[len(ARGS):rest.rfind('"}}')] if rest.startswith(ARGS) else ""
            stack.append((name, ts, texts.setdefault(raw, raw)))
        elif phase != "E" or name.startswith("linux:"):
            continue
        elif stack and stack[-1][0] == name:
            entered, start, raw = stack.pop()
            ret = rest[len(RETVAL):rest.rfind('"}}')] if rest.startswith(RETVAL) else None
            calls[tasks[where]].append((entered, start, ts, raw, ret))
            count += 1
            if progress and count & 0xFFFF == 0 and time.monotonic() - shown > 0.25:
                shown = time.monotonic()
                progress(f"reading the record: {count:,} calls" + (f", {min(99, 100 * count // total)} %"
                                                                      if total else ""))
        elif name == "fork":  # a child returns from the fork that its parent entered
            calls[tasks[where]].append(("fork", ts, ts, "", "0"))
        else:
            unmatched += 1
    dump.wait()
    if dump.returncode != 0:
        raise Failure(f"uftrace dump failed: {dump.stderr.read().strip()}")
    for task_calls in calls.values():  # a call is stored when it returns: a nested one comes first
        if any(a[START] > b[START] for a, b in zip(task_calls, task_calls[1:])):
            task_calls.sort(key=lambda call: call[START])
    unended = {tasks[where]: stack for where, stack in open_calls.items() if stack}
    return calls, unended, unmatched


def estimate(folder):
    """About how many calls the record holds: an entry and an exit of 16 bytes
    each, and some arguments."""
    size = sum(os.path.getsize(path) for path in glob.glob(os.path.join(folder, "*.dat"))
               if not os.path.basename(path).startswith("perf"))
    return size // 40


ESCAPES = {"n": "\n", "t": "\t", "r": "\r", "0": "\0", "\\": "\\", '"': '"'}
_parsed = {}


def arguments(raw):
    """uftrace's '("a\\n", 0x10, 4)' -> ('a\n', 16, 4): strings unescaped, numbers as ints."""
    found = _parsed.get(raw)
    if found is None:
        found = _parsed[raw] = tuple(parse(json.loads(f'"{raw}"') if "\\" in raw else raw))
    return found


def parse(text):
    i, inner = 0, text.strip()[1:-1]
    while i < len(inner):
        if inner[i] in " ,":
            i += 1
        elif inner[i] == '"':
            raw, i = bytearray(), i + 1
            while i < len(inner) and inner[i] != '"':
                if inner[i] == "\\" and i + 1 < len(inner):
                    escape = inner[i + 1]
                    if escape == "x":
                        raw.append(int(inner[i + 2:i + 4], 16))
                        i += 4
                        continue
                    raw += ESCAPES.get(escape, escape).encode()
                    i += 2
                else:
                    raw += inner[i].encode()
                    i += 1
            yield bytes(raw)
            i += 1
        else:
            end = inner.find(",", i)
            end = len(inner) if end < 0 else end
            yield number(inner[i:end].strip())
            i = end


def number(token):
    try:
        return int(token, 0)
    except ValueError:
        try:
            return float(token)
        except ValueError:
            return token


def progress_printer():
    """Shows progress on standard error, in place, when that is a terminal."""
    if not sys.stderr.isatty():
        return None

    def show(text):
        sys.stderr.write(f"\r\033[K{text}")
        sys.stderr.flush()
    return show


def plt_names(folder, symbols):
    """Names a PLT entry, such as libmcount keeps for a pending call, from
    the symbol files that uftrace writes beside its record."""
    tables = {}

    def name(address):
        module = symbols.module(address)
        if module is None:
            return None
        path = os.path.join(folder, os.path.basename(module[2]) + ".sym")
        if path not in tables:
            entries = {}
            if os.path.exists(path):
                with open(path) as table:
                    for line in table:
                        fields = line.split()
                        if len(fields) == 3 and fields[1] == "P":
                            entries[int(fields[0], 16)] = fields[2]
            tables[path] = entries
        entries = tables[path]
        return entries.get(address - module[0]) or entries.get(address)
    return name
