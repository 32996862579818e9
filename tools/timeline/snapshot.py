"""The live program when the tool stops it: what each thread waits for, the
memory of the object it waits on (a semaphore's value, a mutex's owner),
and its stack, for the file and line of its call. The calls in flight are
in the record: the open entries of each thread's buffer."""
import os, re, subprocess
from collections import namedtuple
from dataclasses import dataclass, replace

from .sources import own_source

# What a thread was doing when the run was stopped: the thread as the kernel
# showed it (watch.Thread), 16 bytes of memory at the futex address it waits
# on, and its whole stack ([Frame], innermost first).
Pending = namedtuple("Pending", "thread memory frames")


@dataclass(frozen=True)
class Snapshot:
    """The live program when it was stopped: why (deadlock, stopped,
    deadline or interrupted), the real seconds since the run began when it
    was last watched, when the hang was first seen, each thread's Pending,
    the monotonic clock (the record's) when it was stopped (ns), what
    interrupted it ("Ctrl-C", "SIGTERM") or None, and {inode: pids} of the
    processes that hold the write end of each pipe that a hung thread reads."""
    reason: str
    seconds: float
    hung_since: float | None
    pending: list
    clock: int
    by: str | None = None
    pipes: dict | None = None

    def interrupted_by(self, by):
        return replace(self, by=by)


def inspect(pid, everyone):
    """Each thread's wait, the memory at the futex it waits on, and its stack."""
    # Through a live thread: a process whose main thread has ended (with
    # pthread_exit) shows no memory through its own id.
    alive = next((t.tid for t in everyone), pid)
    try:
        memory = open(f"/proc/{pid}/task/{alive}/mem", "rb", buffering=0)
    except OSError:
        return []
    with memory:
        def read(address, size):
            try:
                memory.seek(address)
                return memory.read(size)
            except (OSError, OverflowError, ValueError):
                return b""
        stacks = stack_frames(alive)
        return [Pending(thread, read(thread.wait[1], 16) if thread.wait and thread.wait[0] == "futex" else b"",
                        stacks.get(thread.tid, [])) for thread in everyone]


# A frame of a stack as eu-stack gives it: its address, function, module,
# and source file and line (None without debugging information).
Frame = namedtuple("Frame", "address function module file line")


def stack_frames(pid):
    """{tid: [Frame]} innermost first, inlined functions each a frame, from
    eu-stack; pid may be any live thread of the process."""
    try:
        out = subprocess.run(["eu-stack", "-p", str(pid), "-i", "-s", "-m"], capture_output=True, text=True,
                             start_new_session=True,
                             errors="replace", timeout=20).stdout
    except (OSError, subprocess.TimeoutExpired):
        return {}
    stacks, frames = {}, None
    for line in out.splitlines():
        head = re.match(r"TID (\d+):", line)
        frame = re.match(r"#\d+\s+(0x[0-9a-f]+)\s*(.*?)(?: - (\S+))?$", line)
        place = re.match(r"\s+(\S.*?):(\d+)(?::\d+)?$", line)
        if head:
            frames = stacks.setdefault(int(head[1]), [])
        elif frame and frames is not None:
            frames.append(Frame(int(frame[1], 16), frame[2] or None, frame[3], None, None))
        elif place and frames:
            frames[-1] = frames[-1]._replace(file=place[1], line=int(place[2]))
    return stacks


def program_frame(frame):
    """A frame in the program's own modules: not a library's, nor the tool's recording library's."""
    return frame.module is not None and not frame.module.startswith(("/usr/lib/", "/lib/")) \
        and not os.path.basename(frame.module).startswith("recorder")


def own(frame):
    """A frame in the program's own source: not a library's, not a header of one."""
    return own_source(frame.file) and program_frame(frame)


def site(frames, return_address):
    """(file, line, function, None) of the call that returned to
    return_address, at the first frame from there out that the program's
    source wrote; without such a frame, (None, None, function, address) of
    the outermost frame in the program."""
    start = 0
    if return_address is not None:
        start = next((i for i, f in enumerate(frames) if f.address == return_address), 0)
    found = next((f for f in frames[start:] if own(f)), None)
    if found:
        return found.file, found.line, found.function, None
    # None of the program's own: an optimised call left no frame of its caller
    # (a tail call); its outermost frame in the program says what was called.
    program = [f for f in frames[start:] if program_frame(f)]
    return (None, None, program[-1].function, program[-1].address) if program else None
