"""What the kernel and the program's memory say of a run while it goes on:
whether it hangs, and what each thread was doing when it was stopped.

A run hangs when every thread of every process of the program is blocked in
a wait that only another of its threads could end: a futex wait without a
timeout (a lock, a condition variable, a semaphore, a join), a wait for a
child, or a read of a pipe whose write end only the program's processes
hold. /proc/PID/task/TID/syscall says which system call a thread is in,
with its arguments and stack pointer.

uftrace writes a call into its record only when the call returns, so the
calls that hang are not in it: they are read from the live program. A
debugger's unwinding stops at libmcount's trampoline, which stands in for
the return address of each pending library call; libmcount keeps the
original, with the stack slot that it replaced, in the program's memory:

    struct mcount_ret_stack {        (libmcount/mcount.h, uftrace 0.13)
        unsigned long *parent_loc;   the stack slot
        unsigned long parent_ip;     the return address into the program
        unsigned long child_ip;      the PLT entry of the called function
        enum mcount_rstack_flag flags;
        uint64_t start_time;         when the call began, on uftrace's clock
        ...
"""
import os, re, signal, struct, subprocess, time
from collections import namedtuple


FUTEX, WAIT4, WAITID, NANOSLEEP, CLOCK_NANOSLEEP, READ = 202, 61, 247, 35, 230, 0
PIPE = re.compile(r"pipe:\[(\d+)\]")
FUTEX_WAITS = {0, 6, 9, 11}  # FUTEX_WAIT, FUTEX_LOCK_PI, FUTEX_WAIT_BITSET, FUTEX_WAIT_REQUEUE_PI
FUTEX_COMMAND = 0x7F  # without FUTEX_PRIVATE_FLAG and FUTEX_CLOCK_REALTIME
HANG_SECONDS = 1.0  # real seconds in which nothing changes before a run is taken for hung
STACK_BYTES = 1 << 20  # searched above the stack pointer for the return addresses libmcount took
RET_STACK = struct.Struct("<QQQI4xQ")  # parent_loc, parent_ip, child_ip, flags, start_time

# A thread as the kernel shows it: what it waits for ("futex", address,
# expected value), ("child", pid) or ("pipe", inode, descriptor), or None; sleep: the requested
# (seconds, nanoseconds) of a nanosleep in progress.
Thread = namedtuple("Thread", "pid tid state syscall wait stack_pointer switches sleep")
# What a thread was doing when the run was stopped: the thread, its
# innermost pending traced call (the PLT entry, the return address, its start
# on uftrace's clock, and where it was made: file, line and function), 16
# bytes of memory at the futex address it waits on, the calls it was in
# around that one, outward ([(PLT entry, return address, start, site)]), and
# its whole stack ([Frame], innermost first).
Pending = namedtuple("Pending", "thread plt_entry return_address start site memory outer frames")
# reason: deadlock, deadline or interrupted; seconds: real seconds since the
# run began when it was last watched; hung_since: when the hang was first
# seen; clock: CLOCK_MONOTONIC (uftrace's clock) when it was stopped, in ns;
# by: what interrupted it, in words ("Ctrl-C", "SIGTERM"), or None; pipes:
# {inode: pids} of the processes that hold the write end of each pipe that a
# hung thread reads.
Snapshot = namedtuple("Snapshot", "reason seconds hung_since pending clock by pipes", defaults=(None, None))


def threads(pid):
    found = []
    try:
        tids = os.listdir(f"/proc/{pid}/task")
    except OSError:
        return found
    for tid in tids:
        try:
            with open(f"/proc/{pid}/task/{tid}/stat") as stat:
                state = stat.read().rsplit(")", 1)[1].split()[0]
            if state in "ZX":  # a thread that has ended, such as a main thread after pthread_exit
                continue
            with open(f"/proc/{pid}/task/{tid}/syscall") as syscall:
                fields = syscall.read().split()
            with open(f"/proc/{pid}/task/{tid}/status") as status:
                switches = tuple(int(n) for n in re.findall(r"ctxt_switches:\s+(\d+)", status.read()))
        except OSError:  # ended meanwhile
            continue
        wait, sleep, stack_pointer = None, None, None
        if fields and fields[0].isdigit():
            number, args = int(fields[0]), [int(a, 16) for a in fields[1:7]]
            stack_pointer = int(fields[7], 16)
            if number == FUTEX and args[1] & FUTEX_COMMAND in FUTEX_WAITS and args[3] == 0:
                wait = ("futex", args[0], args[2])
            elif number == WAIT4 or (number == WAITID and args[0] in (0, 1)):
                child = args[0] if number == WAIT4 else (args[1] if args[0] == 1 else -1)
                wait = ("child", child - (1 << 64) if child >> 63 else child)
            elif number in (NANOSLEEP, CLOCK_NANOSLEEP):
                sleep = args[0] if number == NANOSLEEP else args[2]  # the request's address, read later
            elif number == READ and (inode := pipe(pid, args[0])):
                wait = ("pipe", inode, args[0])
        found.append(Thread(pid, int(tid), state, fields[0] if fields else "", wait, stack_pointer, switches, sleep))
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

    def __init__(self, speed, deadline, helper_log=None):
        self.speed, self.deadline = speed or 1, deadline
        self.signature, self.since, self.seconds = None, None, 0.0
        self.still, self.still_since = None, None
        self.snapshot, self.pipes = None, None
        self.log, self.log_at, self.endings = helper_log, 0, {}
        self.dying = {}  # pid: [Pending] of a process read as it ended

    def read_log(self):
        """The processes that the helper library stopped as they end (a fault,
        or exit() while other threads run), for their calls in flight to be read."""
        if not self.log:
            return
        try:
            with open(self.log, "rb") as log:
                log.seek(self.log_at)
                text = log.read()
        except OSError:
            return
        whole = text[:text.rfind(b"\n") + 1]
        self.log_at += len(whole)
        for line in whole.decode(errors="replace").splitlines():
            fields = line.split()
            if fields and fields[0] in ("dying", "exiting") and len(fields) >= 6 and fields[1].isdigit():
                self.endings[int(fields[1])] = (int(fields[2]), int(fields[5], 16))

    def read_endings(self, pids):
        """Reads each process that waits, as it ends, to be read, and lets it go on."""
        for pid, (tid, flag) in list(self.endings.items()):
            del self.endings[pid]
            if pid not in pids:
                continue
            everyone = threads(pid)
            try:
                os.kill(pid, signal.SIGSTOP)
                self.dying[pid] = inspect(pid, everyone, whole=False)
                with open(f"/proc/{pid}/task/{tid}/mem", "r+b", buffering=0) as memory:
                    memory.seek(flag)
                    memory.write(struct.pack("<i", 1))
            except (OSError, ValueError, OverflowError):
                pass
            finally:
                try:
                    os.kill(pid, signal.SIGCONT)
                except ProcessLookupError:
                    pass

    def __call__(self, pids, seconds):
        self.seconds = seconds
        self.read_log()
        self.read_endings(pids)
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
        """Before the program is stopped: each thread's pending calls and its stack."""
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


def inspect(pid, everyone, whole=True):
    """Each thread's pending calls, innermost first, and its stack. The
    program is about to be stopped: each stack slot that libmcount's
    trampoline took is given its return address back, so that eu-stack
    unwinds the whole stack, through the calls that uftrace holds. A process
    that goes on (to die as it would have) is read without its stacks
    (whole=False), and left as it was."""
    # Through a live thread: a process whose main thread has ended (with
    # pthread_exit) shows no memory through its own id.
    alive = next((t.tid for t in everyone), pid)
    try:
        with open(f"/proc/{pid}/task/{alive}/maps") as maps:
            regions = maps.read().splitlines()
        memory = open(f"/proc/{pid}/task/{alive}/mem", "r+b", buffering=0)
    except OSError:
        return []
    with memory:
        def read(address, size):
            try:
                memory.seek(address)
                return memory.read(size)
            except (OSError, OverflowError, ValueError):
                return b""
        code = libmcount_code(regions)
        slots = {}
        for thread in everyone:
            for slot in trampoline_slots(read, thread, code, regions):
                slots[slot] = thread.tid
        entries = ret_stack_entries(read, regions, slots, [t.stack_pointer for t in everyone if t.stack_pointer])
        for by_thread in entries.values() if whole else ():
            for parent_loc, parent_ip, *_ in by_thread:
                try:
                    memory.seek(parent_loc)
                    memory.write(struct.pack("<Q", parent_ip))
                except (OSError, OverflowError, ValueError):
                    pass
        stacks = stack_frames(alive) if whole else {}
        pending = []
        for thread in everyone:
            memory_at = read(thread.wait[1], 16) if thread.wait and thread.wait[0] == "futex" else b""
            if thread.sleep:
                request = read(thread.sleep, 16)
                thread = thread._replace(sleep=struct.unpack("<qq", request) if len(request) == 16 else None)
            frames = stacks.get(thread.tid, [])
            calls = [(entry[2], entry[1], entry[4], site(frames, entry[1]))
                     for entry in sorted(entries.get(thread.tid, []))]
            first = calls[0] if calls else (None, None, None, site(frames, None))
            pending.append(Pending(thread, *first, memory_at, calls[1:], frames))
        return pending


def libmcount_code(regions):
    ranges = []
    for line in regions:
        fields = line.split()
        if len(fields) >= 6 and "/libmcount" in fields[5] and "x" in fields[1]:
            ranges.append(tuple(int(x, 16) for x in fields[0].split("-")))
    return ranges


def trampoline_slots(read, thread, code, regions):
    """The stack slots above the thread's stack pointer that point into
    libmcount's code: the return addresses that its trampoline took, and
    perhaps stale words, which no entry of libmcount's names."""
    import numpy as np

    if thread.stack_pointer is None or not code:
        return []
    top = thread.stack_pointer + STACK_BYTES
    for line in regions:
        start, end = (int(x, 16) for x in line.split()[0].split("-"))
        if start <= thread.stack_pointer < end:
            top = min(end, thread.stack_pointer + STACK_BYTES)
    data = read(thread.stack_pointer, max(0, top - thread.stack_pointer))
    words = np.frombuffer(data, dtype="<u8", count=len(data) // 8)
    inside = np.zeros(len(words), dtype=bool)
    for start, end in code:
        inside |= (words >= start) & (words < end)
    return [thread.stack_pointer + 8 * int(at) for at in np.nonzero(inside)[0]]


def ret_stack_entries(read, regions, slots, stack_pointers):
    """{tid: [(parent_loc, parent_ip, child_ip, flags, start_time)]}:
    libmcount's entries whose parent_loc is one of the slots, found in the
    program's anonymous memory (its heap, not its stacks)."""
    import numpy as np  # Debian's, beside matplotlib

    found = {}
    if not slots:
        return found
    wanted = np.array(list(slots), dtype=np.uint64)
    seen = set()
    for line in regions:
        fields = line.split()
        if not fields[1].startswith("rw") or (len(fields) >= 6 and fields[5] != "[heap]"):
            continue
        start, end = (int(x, 16) for x in fields[0].split("-"))
        if end - start > (256 << 20) or any(start <= sp < end for sp in stack_pointers):
            continue
        blob = read(start, end - start)
        words = np.frombuffer(blob, dtype="<u8", count=len(blob) // 8)  # a region starts on a page
        for at in np.nonzero(np.isin(words, wanted))[0]:
            if at * 8 + RET_STACK.size <= len(blob):
                entry = RET_STACK.unpack_from(blob, at * 8)
                if entry[0] not in seen and entry[1]:
                    seen.add(entry[0])
                    found.setdefault(slots[entry[0]], []).append(entry)
    return found


# A frame of a stack as eu-stack gives it: its address, function, module,
# and source file and line (None without debugging information).
Frame = namedtuple("Frame", "address function module file line")
SYSTEM_SOURCES = ("/usr/include/", "/usr/lib/", "/usr/local/include/", "./", "../")


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
    """A frame in the program's own modules: not a library's, nor the tool's helper library's."""
    return frame.module is not None and not frame.module.startswith(("/usr/lib/", "/lib/")) \
        and not frame.module.endswith("/helper.so")


def own(frame):
    """A frame in the program's own source: not a library's, not a header of one."""
    return frame.file is not None and not frame.file.startswith(SYSTEM_SOURCES) and program_frame(frame)


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
