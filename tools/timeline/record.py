"""Runs the program on a pseudo-terminal with the tool's recording library
preloaded into it, and watches it.

The library (recorder.c) is built at each run with the machine's C
compiler, from its source and a header of the call numbers that the table
of calls gives; it writes the calls of each thread into files in a folder of
the tool's. Standard output and standard error share the terminal, as they
would for a user; the lines that reached it are the run's output."""
import hashlib, os, shutil, signal, stat, subprocess, tempfile
from dataclasses import dataclass

from ptyrun import run

from .calls import header
from .elf import NotElf, read_elf
from .errors import Failure
from .snapshot import Snapshot
from .watch import Watch

# The program's monotonic clock stays real under libfaketime: a deadline
# computed from a faked clock would be waited for on the real one, N times
# too long. The sleeps, the other clocks and the timeouts run N times as fast.
REAL_MONOTONIC = {"FAKETIME_DONT_FAKE_MONOTONIC": "1"}
LIBRARY = os.path.join(os.path.dirname(os.path.abspath(__file__)), "recorder.c")
RUN_HEADER = b"TLRUN01\0" + bytes(4096 - 8)  # the run's shared header: its sequence and its images' numbers

# The output kept for the trace: its first lines, within these bounds; all of it reaches the terminal.
MOST_OUTPUT = (16 << 20, 100000)  # bytes, lines


@dataclass(frozen=True)
class Recording:
    """A run recorded: the folder of its record; the bytes that the program
    wrote to the terminal and when each piece arrived ([(its end in output,
    ns on the monotonic clock)]); how many bytes after them the runner left
    out; its status as the runner gives it (an exit code, or minus a
    signal's number); the live program when the tool stopped it, or None;
    and the processes that the tool stopped ([(pid, command name)])."""
    folder: str
    output: bytes
    arrivals: list
    skipped: int
    status: int
    snapshot: Snapshot | None
    left: list


def check_program(path):
    """A program that the tool can trace: an executable file, dynamically
    linked, that the loader will give the tool's library."""
    shown = path.encode(errors="surrogateescape").decode(errors="backslashreplace")
    if not os.path.isfile(path) or not os.access(path, os.X_OK):
        raise Failure(f"{shown} is not an executable file")
    try:
        elf = read_elf(path)
    except NotElf as why:
        raise Failure(f"{shown} {why}") from None
    if not elf.linked:
        raise Failure(f"{shown} is statically linked: the tool records the calls into shared libraries, "
                      "so build it without -static")
    mode = os.stat(path)
    if (mode.st_mode & stat.S_ISUID and mode.st_uid != os.geteuid()) or \
            (mode.st_mode & stat.S_ISGID and mode.st_gid != os.getegid()):
        raise Failure(f"{shown} is set-user-ID or set-group-ID: the loader ignores the tool's library in it, so "
                      "its calls cannot be recorded (run a copy of it)")


def compiler():
    return shutil.which("cc") or shutil.which("gcc")


def build_library(folder):
    """The recording library, built for this machine: kept in the user's
    cache under a name made of its source, its call numbers and the
    compiler, so that it is built once for each of them; built in folder
    where the cache cannot be written."""
    found = compiler()
    if found is None:
        raise Failure("there is no C compiler to build the tool's recording library: apt-get install gcc")
    with open(LIBRARY, "rb") as source:
        text = source.read()
    numbers = header()
    made = os.stat(found)
    key = hashlib.sha256(text + numbers.encode() + f"{found} {made.st_size} {made.st_mtime_ns}".encode())
    cache = os.path.join(os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache"), "timeline")
    cached = os.path.join(cache, f"recorder-{key.hexdigest()[:16]}.so")
    if os.path.exists(cached):
        return cached
    with open(os.path.join(folder, "calls.h"), "w") as written:
        written.write(numbers)
    library = os.path.join(folder, "recorder.so")
    done = subprocess.run([found, "-O2", "-shared", "-fPIC", "-fexceptions", "-fvisibility=hidden", "-I", folder,
                           "-o", library, LIBRARY, "-ldl"], capture_output=True, start_new_session=True, text=True,
                          errors="replace")
    if done.returncode != 0:
        said = (done.stderr.strip().splitlines() or ["no reason given"])[-1]
        raise Failure(f"{os.path.basename(found)} could not build the tool's recording library: {said}")
    temporary = None
    try:  # into the cache whole, or not at all
        os.makedirs(cache, exist_ok=True)
        handle, temporary = tempfile.mkstemp(dir=cache, prefix=".recorder-", suffix=".so")
        os.close(handle)
        shutil.copyfile(library, temporary)
        os.chmod(temporary, 0o755)
        os.replace(temporary, cached)
        return cached
    except OSError:
        if temporary and os.path.exists(temporary):
            os.unlink(temporary)
        return library


class NotStarted(Failure):
    """The tool was interrupted before the program's run was recorded:
    nothing was. signal: the number of the first signal."""

    def __init__(self, path, interrupts):
        super().__init__(f"interrupted ({interrupts.names[0]}) before {os.path.basename(path)} was traced: "
                         "nothing was recorded, nothing written")
        self.signal = signal.Signals[interrupts.names[0]]


def record(path, args, speed, deadline, folder, echo=None, interrupts=None, stdin="inherit", library=None,
           shaken=None):
    """Runs the program with the library, in folder/record; returns the
    Recording. shaken: for --shake, the seed of the library's delays (0 for
    none), with address randomisation off; None for a plain run."""
    if interrupts is not None and interrupts.count:
        raise NotStarted(path, interrupts)
    library = library or build_library(folder)
    data = os.path.join(folder, "record")
    os.makedirs(data, exist_ok=True)
    with open(os.path.join(data, "run"), "wb") as shared:
        shared.write(RUN_HEADER)
    env = dict(REAL_MONOTONIC if speed else {}, TIMELINE_RECORD=data)
    if shaken:
        env["TIMELINE_SHAKE"] = str(shaken)
    watch = Watch(speed, deadline)
    try:
        result = run(os.path.abspath(path), *args, speed=speed, stderr="terminal", timeout=None, watch=watch,
                     stopping=watch.stopping, env=env, preload=[library], stdin=stdin, echo=echo,
                     interrupts=interrupts, most_output=MOST_OUTPUT, randomised=shaken is None)
    except FileNotFoundError as error:
        raise Failure(str(error)) from None
    if not any(name.endswith(".maps") for name in os.listdir(data)):
        if interrupts is not None and interrupts.count:  # stopped before the program began
            raise NotStarted(path, interrupts)
        raise Failure(f"nothing of {path} was recorded: the loader did not load the tool's library into it")
    snapshot = watch.snapshot
    if snapshot is not None and snapshot.reason == "interrupted" and interrupts is not None and interrupts.names:
        snapshot = snapshot.interrupted_by("Ctrl-C" if interrupts.names[0] == "SIGINT" else interrupts.names[0])
    return Recording(data, result.raw, result.arrivals, result.skipped, result.status, snapshot, result.left)


# Helgrind's reports of libfaketime's own doings, which are not the program's.
SUPPRESSIONS = "".join(f"{{\n   libfaketime's own, not the program's\n   Helgrind:{kind}\n   obj:*/libfaketime*\n}}\n"
                       for kind in ("Race", "UnlockUnlocked", "UnlockForeign", "UnlockBogus", "PthAPIerror",
                                    "LockOrder", "Misc"))


def race_run(path, args, speed, deadline, folder, stdin, interrupts):
    """Runs the program once more, unchanged, under Helgrind, with the same
    clock, deadline and input, its output aside; Helgrind writes a text log
    per process into a folder: (that folder, why the run was stopped, as
    the watch says it, or None)."""
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
    return logs, result.stopped
