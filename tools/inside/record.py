"""Runs the program under uftrace on a pseudo-terminal, and watches it.

uftrace records every library call of every thread and process with the
arguments that the table of calls asks for, C++ functions by their mangled
names. An object's address is
recorded as a number (/x): uftrace's own naming (/p) shows a pointer into an
array as the array's name alone, and the tool names it itself. Standard
output and standard error share the terminal, as they would for a user; the
lines that reached it are the run's output."""
import os, re, shutil, signal, struct, subprocess
from collections import namedtuple

from ptyrun import run

from .calls import CALLS
from .live import Watch
from .read import Failure


PT_INTERP = 3
# libmcount takes each call's time from clock_gettime(CLOCK_MONOTONIC), and
# does not keep the floating-point registers across it. libfaketime's version
# computes with them, so each traced printf("%f") printed 0.00. With the
# monotonic clock left real, uftrace's times are real ones; read.py scales
# them to the program's time.
REAL_MONOTONIC = {"FAKETIME_DONT_FAKE_MONOTONIC": "1"}

# folder: uftrace's record; result: the runner's Run; output: the bytes that
# the program wrote to the terminal; snapshot: the live program when the tool
# stopped it (or None); ended: how the program ended, in words; helper: the
# helper library's log, or None where there was no compiler to build it;
# dying: {pid: [Pending]} of the processes read as they ended; arrivals: when
# each piece of the output arrived, as the runner gives it, in output.
Recording = namedtuple("Recording", "folder result output snapshot ended helper dying arrivals")
HELPER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "helper.c")
PLAIN_PATH = re.compile(r"[A-Za-z0-9._/+-]+")
# The output kept for the trace: its first lines, within these bounds; all of it reaches the terminal.
MOST_OUTPUT = (16 << 20, 100000)  # bytes, lines
# libmcount's handler of a crash writes this notice to the program's standard output.
CRASH_NOTICE = re.compile(rb"\n(?:\x1b\[[0-9;]*m)?Please report this bug to https://github\.com/namhyung/uftrace/"
                          rb"issues\.\n\n(?:\x1b\[[0-9;]*m)?")


def command(folder, log):
    """uftrace's command line. Its options go in a file beside the record:
    uftrace 0.13 keeps its command line in the record's header and reads it
    back into 4096 bytes, so a longer one (the arguments of every call that
    the tool understands) leaves a record that it cannot read."""
    options = ["--force", "--no-pltbind", "--no-sched", "--match=glob", "--demangle=no", f"--logfile={log}"]
    for function, recorded in ((symbol, call.recorded) for symbol, call in CALLS.items() if call.recorded):
        args = ",".join(part for part in recorded.split(",") if not part.startswith("retval"))
        retval = next((part for part in recorded.split(",") if part.startswith("retval")), None)
        if args:
            options += ["-A", f"{function}@{args}"]
        if retval:
            options += ["-R", f"{function}@{retval}"]
    file = folder.rstrip(os.sep) + ".options"
    with open(file, "w") as written:
        written.write("\n".join(options) + "\n")
    return ["uftrace", "record", "-d", folder, f"--opt-file={file}"]


def check_program(path):
    """A program that uftrace can trace: an executable file, dynamically linked."""
    shown = path.encode(errors="surrogateescape").decode(errors="backslashreplace")
    if not os.path.isfile(path) or not os.access(path, os.X_OK):
        raise Failure(f"{shown} is not an executable file")
    try:
        with open(path, "rb") as elf:
            header = elf.read(64)
            if header[:4] != b"\x7fELF" or header[4:5] != b"\x02":
                raise Failure(f"{shown} is not a 64-bit ELF program")
            if len(header) < 64:
                raise Failure(f"{shown} is not a whole ELF program")
            phoff, = struct.unpack_from("<Q", header, 32)
            entry_size, count = struct.unpack_from("<HH", header, 54)
            elf.seek(phoff)
            table = elf.read(entry_size * count)
    except OSError as error:
        raise Failure(f"cannot read {shown}: {error.strerror}") from None
    if entry_size < 4 or len(table) < entry_size * count:
        raise Failure(f"{shown} is not a whole ELF program")
    kinds = [struct.unpack_from("<I", table, i * entry_size)[0] for i in range(count)]
    if PT_INTERP not in kinds:
        raise Failure(f"{shown} is statically linked: uftrace traces the calls into shared libraries, "
                      "so build it without -static")


def build_helper(folder):
    """The helper library, built from its source for this machine, or None
    without a C compiler."""
    compiler = shutil.which("cc") or shutil.which("gcc")
    library = os.path.join(folder, "helper.so")
    if compiler is None:
        return None
    done = subprocess.run([compiler, "-O2", "-shared", "-fPIC", "-fexceptions", "-o", library, HELPER],
                          capture_output=True, start_new_session=True, text=True)
    return library if done.returncode == 0 else None


def traceable(path, folder):
    """A path that uftrace can take: it reads /proc/PID/maps word by word, so
    a program whose path holds a space, or another byte that is not plain,
    is run through a link to it (or a copy) in the tool's folder."""
    if PLAIN_PATH.fullmatch(path):
        return path
    name = re.sub(r"[^A-Za-z0-9._+-]", "_", os.path.basename(path)) or "program"
    other = os.path.join(folder, name)
    try:
        os.link(path, other)
    except OSError:
        shutil.copy2(path, other)
    return other


class NotStarted(Failure):
    """The tool was interrupted before the program's run was traced: nothing
    was recorded. signal: the number of the first signal."""

    def __init__(self, path, interrupts):
        super().__init__(f"interrupted ({interrupts.names[0]}) before {os.path.basename(path)} was traced: "
                         "nothing was recorded, nothing written")
        self.signal = signal.Signals[interrupts.names[0]]


def record(path, args, speed, deadline, folder, echo=None, interrupts=None, stdin="inherit"):
    data, log = os.path.join(folder, "uftrace.data"), os.path.join(folder, "uftrace.log")
    if interrupts is not None and interrupts.count:
        raise NotStarted(path, interrupts)
    helper, helper_log = build_helper(folder), os.path.join(folder, "helper.log")
    env = dict(REAL_MONOTONIC if speed else {})
    if helper:
        env.update(TIMELINE_HELPER_LOG=helper_log)
    watch = Watch(speed, deadline, helper_log if helper else None)
    try:
        result = run(traceable(os.path.abspath(path), folder), *args, wrapper=command(data, log), speed=speed,
                     stderr="terminal", timeout=None, watch=watch, stopping=watch.stopping, env=env,
                     preload=[helper] if helper else [], stdin=stdin, echo=echo, interrupts=interrupts,
                     most_output=MOST_OUTPUT)
    except FileNotFoundError as error:
        raise Failure(str(error)) from None
    if not os.path.exists(os.path.join(data, "task.txt")):
        if interrupts is not None and interrupts.count:  # stopped while uftrace was still starting it
            raise NotStarted(path, interrupts)
        said = open(log, errors="replace").read().strip().splitlines()[-1:] if os.path.exists(log) else []
        raise Failure(f"uftrace recorded nothing of {path}" + (f": {said[0]}" if said else ""))
    output, arrivals = without_notice(result.raw, result.arrivals)
    snapshot = watch.snapshot
    if snapshot is not None and snapshot.reason == "interrupted" and interrupts is not None and interrupts.names:
        snapshot = snapshot._replace(by="Ctrl-C" if interrupts.names[0] == "SIGINT" else interrupts.names[0])
    return Recording(data, result, output, snapshot, ending(data, result),
                     helper_log if helper else None, watch.dying, arrivals)


def race_run(path, args, speed, deadline, folder, stdin, interrupts):
    """Runs the program once more, unchanged, under Helgrind, with the same
    clock, deadline and input, its output aside; Helgrind writes a text log
    per process into a folder: (that folder, how the run was stopped, or None)."""
    from .races import SUPPRESSIONS
    logs = os.path.join(folder, "helgrind")
    os.makedirs(logs, exist_ok=True)
    suppressions = os.path.join(folder, "faketime.supp")
    with open(suppressions, "w") as written:
        written.write(SUPPRESSIONS)

    watch = Watch(speed, deadline)  # a program that hangs hangs under Helgrind too
    wrapper = ["valgrind", "--tool=helgrind", "--fullpath-after=", "--trace-children=yes",
               f"--suppressions={suppressions}", f"--log-file={logs}/%p"]
    try:
        result = run(os.path.abspath(path), *args, wrapper=wrapper, speed=speed, stderr="terminal", timeout=None,
                     watch=watch, stdin=stdin, interrupts=interrupts, wrapper_apart=False, most_output=(0, 0))
    except FileNotFoundError as error:
        raise Failure(str(error)) from None
    said = {"deadline": "reached the deadline", "interrupted": "was interrupted",
            "deadlock": "hung, and was stopped", "stopped": "stopped itself, and was ended"}
    return logs, said.get(result.stopped, result.stopped)


def untraced(path, args, speed, deadline, interrupts, stdin="null"):
    """How the program ends when it runs alone, without the tracer, under the
    same clock and deadline, its output and input aside: to tell uftrace's
    faults from the program's. None if it could not be run."""
    def watch(pids, seconds):
        if seconds * (speed or 1) >= deadline:
            return "deadline"
        return None
    try:
        alone = run(os.path.abspath(path), *args, speed=speed, stderr="terminal", timeout=None, watch=watch,
                    interrupts=interrupts, stdin=stdin, most_output=(0, 0))
    except (OSError, AssertionError):
        return None
    return None if alone.stopped else in_words(alone.status)


def fault_warnings(recording, alone):
    """What uftrace 0.13 did to this run, where the run alone ended otherwise."""
    if alone is None or alone == recording.ended:
        return []
    return [f"under uftrace the program {recording.ended}, but run alone it {alone}: uftrace 0.13 is at fault here, "
            "not the program (its libmcount changes floating-point arguments and crashes some programs; see the "
            "README's limits)"]


def without_notice(raw, arrivals):
    """The output without libmcount's crash notice, and the arrivals moved to fit."""
    cuts = [(found.start(), found.end()) for found in CRASH_NOTICE.finditer(raw)]
    if not cuts:
        return raw, list(arrivals)
    kept, at = [], 0
    for start, end in cuts:
        kept.append(raw[at:start])
        at = end
    kept.append(raw[at:])

    def moved(offset):
        return offset - sum(min(end, offset) - start for start, end in cuts if start < offset)
    return b"".join(kept), [(moved(offset), ns) for offset, ns in arrivals]


def in_words(status):
    """A status as the runner gives it: an exit code, or minus a signal number."""
    if status >= 0:
        return f"exited with status {status}"
    try:
        name = signal.strsignal(-status)
    except ValueError:
        name = None
    return f"was killed by signal {-status}" + (f" ({name})" if name else "")


def ending(data, result):
    """How the program ended: its status as this process saw it where it
    adopted the program (its wrapper gone first), else as uftrace saw it
    and wrote it in its record; never uftrace's own status."""
    first = result.first
    try:
        with open(os.path.join(data, "task.txt")) as tasks:
            found = re.search(r"^SESS .*?\bpid=(\d+)", tasks.read(), re.M)
        first = int(found[1]) if found else first
    except OSError:
        pass
    if first in result.reaped:
        return in_words(result.reaped[first])
    info = subprocess.run(["uftrace", "info", "-d", data], capture_output=True, text=True, errors="replace",
                          start_new_session=True).stdout
    said = re.search(r"exit status\s*:\s*(.+)", info)
    said = said[1].strip() if said else ""
    code = re.search(r"exited with code: (\d+)", said)
    killed = re.search(r"terminated by signal: (\d+)", said)
    if code:
        return in_words(int(code[1]))
    if killed:
        return in_words(-int(killed[1]))
    return "ended, but uftrace did not see how"
