"""Watches a run while it goes on: whether it hangs, reaches its deadline or
stops itself; the runner calls it ten times a second.

A run hangs when every thread of every process of the program is blocked in
a wait that only another of its threads could end: a futex wait without a
timeout (a lock, a condition variable, a semaphore, a join), a wait for a
child, or a read of a pipe whose write end only the program's processes
hold. /proc/PID/task/TID/syscall says which system call a thread is in,
with its arguments and stack pointer."""
import os, re, signal, time
from collections import namedtuple

from ptyrun import task_states

from .snapshot import Snapshot, inspect

FUTEX, WAIT4, WAITID, READ = 202, 61, 247, 0
PIPE = re.compile(r"pipe:\[(\d+)\]")
FUTEX_WAITS = {0, 6, 9, 11}  # FUTEX_WAIT, FUTEX_LOCK_PI, FUTEX_WAIT_BITSET, FUTEX_WAIT_REQUEUE_PI
FUTEX_COMMAND = 0x7F  # without FUTEX_PRIVATE_FLAG and FUTEX_CLOCK_REALTIME
HANG_SECONDS = 1.0  # real seconds in which nothing changes before a run is taken for hung

# A thread as the kernel shows it: what it waits for ("futex", address,
# expected value), ("child", pid) or ("pipe", inode, descriptor), or None.
Thread = namedtuple("Thread", "pid tid state syscall wait stack_pointer switches")


def threads(pid):
    """[Thread] of a process's threads that have not ended (a main thread
    after pthread_exit has)."""
    found = []
    for tid, state in task_states(pid).items():
        if state in "ZX":
            continue
        try:
            with open(f"/proc/{pid}/task/{tid}/syscall") as syscall:
                fields = syscall.read().split()
            with open(f"/proc/{pid}/task/{tid}/status") as status:
                switches = tuple(int(n) for n in re.findall(r"ctxt_switches:\s+(\d+)", status.read()))
        except OSError:  # ended meanwhile
            continue
        wait, stack_pointer = None, None
        if fields and fields[0].isdigit():
            number, args = int(fields[0]), [int(a, 16) for a in fields[1:7]]
            stack_pointer = int(fields[7], 16)
            if number == FUTEX and args[1] & FUTEX_COMMAND in FUTEX_WAITS and args[3] == 0:
                wait = ("futex", args[0], args[2])
            elif number == WAIT4 or (number == WAITID and args[0] in (0, 1)):
                child = args[0] if number == WAIT4 else (args[1] if args[0] == 1 else -1)
                wait = ("child", child - (1 << 64) if child >> 63 else child)
            elif number == READ and (inode := pipe(pid, args[0])):
                wait = ("pipe", inode, args[0])
        found.append(Thread(pid, tid, state, fields[0] if fields else "", wait, stack_pointer, switches))
    return found


def pipe(pid, fd):
    """The inode of the pipe that a descriptor reads, or None."""
    try:
        found = PIPE.fullmatch(os.readlink(f"/proc/{pid}/fd/{fd}"))
    except OSError:
        return None
    return int(found[1]) if found else None


def write_ends(inodes):
    """{inode: pids} of every process on the machine that holds a pipe's write end open."""
    found = {inode: set() for inode in inodes}
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            fds = os.listdir(f"/proc/{pid}/fd")
        except OSError:
            continue
        for fd in fds:
            try:
                target = PIPE.fullmatch(os.readlink(f"/proc/{pid}/fd/{fd}"))
                if not target or int(target[1]) not in found:
                    continue
                with open(f"/proc/{pid}/fdinfo/{fd}") as info:
                    flags = int(re.search(r"flags:\s+([0-7]+)", info.read())[1], 8)
            except (OSError, TypeError):
                continue
            if flags & os.O_ACCMODE in (os.O_WRONLY, os.O_RDWR):
                found[int(target[1])].add(int(pid))
    return found


def has_timers(pid):
    """Whether the process has POSIX timers, which can wake a waiter later."""
    try:
        with open(f"/proc/{pid}/timers") as timers:
            return bool(timers.read().strip())
    except OSError:
        return False


class Watch:
    """Called by the runner every tenth of a second; says "deadline",
    "deadlock" or "stopped" when the run must be stopped, and takes the
    snapshot of the program before it is.

    A run hangs when every thread of every process of the program waits, and
    none can wake another: each is in a futex wait without a timeout or waits
    for a child, no process has a timer that could still wake one, and
    nothing moves for HANG_SECONDS. A run whose every thread is stopped (by
    SIGSTOP or another stop signal) for as long has stopped."""

    def __init__(self, speed, deadline):
        self.speed, self.deadline = speed or 1, deadline
        self.signature, self.since, self.seconds = None, None, 0.0
        self.still, self.still_since = None, None
        self.snapshot, self.pipes = None, None

    def __call__(self, pids, seconds):
        """Why the run is to be stopped now ("deadline", "deadlock", "stopped"), or None."""
        self.seconds = seconds
        if seconds * self.speed >= self.deadline:  # under libfaketime the program's clock runs N times faster
            return "deadline"
        everyone = [thread for pid in pids for thread in threads(pid)]
        signature = tuple((t.pid, t.tid, t.syscall, t.wait, t.switches) for t in everyone)
        if everyone and all(t.state in "Tt" for t in everyone):
            if self.still != signature:
                self.still, self.still_since = signature, seconds
            elif seconds - self.still_since >= HANG_SECONDS:
                return "stopped"
            self.signature = None
            return None
        self.still = None
        if not everyone or any(t.wait is None for t in everyone) or any(has_timers(pid) for pid in pids):
            self.signature = None
        elif signature != self.signature:
            self.signature, self.since = signature, seconds
        elif seconds - self.since >= HANG_SECONDS:
            # A pipe that a process outside the program can write to (the tool's own input) is no hang.
            self.pipes = write_ends({t.wait[1] for t in everyone if t.wait[0] == "pipe"})
            if any(holders - set(pids) for holders in self.pipes.values()):
                self.signature = None
                return None
            return "deadlock"
        return None

    def stopping(self, pids, reason):
        """Before the program is stopped: each thread's wait, the memory it
        waits on and its stack."""
        clock = time.monotonic_ns()
        everyone = {pid: threads(pid) for pid in pids}  # what each waits for, read before they stop
        for pid in pids:
            try:
                os.kill(pid, signal.SIGSTOP)  # nothing moves while it is looked at
            except ProcessLookupError:
                pass
        pending = [thread for pid in pids for thread in inspect(pid, everyone[pid])]
        hung_since = self.since if reason == "deadlock" else None
        self.snapshot = Snapshot(reason, self.seconds, hung_since, pending, clock,
                                 pipes=self.pipes if reason == "deadlock" else None)
