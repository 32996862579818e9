"""What the kernel and the program's memory say of a run while it goes on:
whether it hangs, and what each thread was doing when it was stopped.

A run hangs when every thread of every process of the program is blocked in
a wait that only another of its threads could end: a futex wait without a
timeout (a lock, a condition variable, a semaphore, a join) or a wait for a
child. /proc/PID/task/TID/syscall says which system call a thread is in,
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
import os, re, struct, subprocess
from collections import namedtuple

from ptyrun import members

FUTEX, WAIT4, WAITID, NANOSLEEP, CLOCK_NANOSLEEP = 202, 61, 247, 35, 230
FUTEX_WAITS = {0, 6, 9, 11}  # FUTEX_WAIT, FUTEX_LOCK_PI, FUTEX_WAIT_BITSET, FUTEX_WAIT_REQUEUE_PI
FUTEX_COMMAND = 0x7F  # without FUTEX_PRIVATE_FLAG and FUTEX_CLOCK_REALTIME
HANG_SECONDS = 1.0  # real seconds in which nothing changes before a run is taken for hung
STACK_BYTES = 16384  # searched above the stack pointer for libmcount's trampoline
RET_STACK = struct.Struct("<QQQI4xQ")  # parent_loc, parent_ip, child_ip, flags, start_time

# A thread as the kernel shows it: what it waits for ("futex", address,
# expected value) or ("child", pid), or None; sleep: the requested
# (seconds, nanoseconds) of a nanosleep in progress.
Thread = namedtuple("Thread", "pid tid state syscall wait stack_pointer switches sleep")
# What a thread was doing when the run was stopped: the thread, its pending
# traced call (the PLT entry, the return address, its start on uftrace's
# clock, and where it was made: file, line and function), and 16 bytes of
# memory at the futex address it waits on.
Pending = namedtuple("Pending", "thread plt_entry return_address start site memory")
# reason: deadlock, deadline or interrupted; seconds: real seconds since the
# run began when it was stopped; hung_since: when the hang was first seen.
Snapshot = namedtuple("Snapshot", "reason seconds hung_since pending")


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
        found.append(Thread(pid, int(tid), state, fields[0] if fields else "", wait, stack_pointer, switches, sleep))
    return found


class Watch:
    """Called by the runner every tenth of a second; says "deadline" or
    "deadlock" when the run must be stopped, and takes the snapshot of the
    program before it is."""

    def __init__(self, speed, deadline):
        self.speed, self.deadline = speed or 1, deadline
        self.signature, self.since, self.seconds = None, None, 0.0
        self.snapshot = None

    def program(self, session):
        return {pid: parent for pid, parent in members(session).items() if pid != session}

    def __call__(self, session, seconds):
        self.seconds = seconds
        if seconds * self.speed >= self.deadline:  # under libfaketime the program's clock runs N times faster
            return "deadline"
        everyone = [thread for pid in self.program(session) for thread in threads(pid)]
        signature = tuple((t.pid, t.tid, t.syscall, t.wait, t.switches) for t in everyone)
        if not everyone or any(t.wait is None for t in everyone):
            self.signature = None
        elif signature != self.signature:
            self.signature, self.since = signature, seconds
        elif seconds - self.since >= HANG_SECONDS:
            return "deadlock"
        return None

    def stopping(self, session, reason):
        """Before the program is stopped: each thread's pending call."""
        pending = [thread for pid in self.program(session) for thread in inspect(pid)]
        hung_since = self.since if reason == "deadlock" else None
        self.snapshot = Snapshot(reason, self.seconds, hung_since, pending)


def inspect(pid):
    everyone = threads(pid)
    try:
        with open(f"/proc/{pid}/maps") as maps:
            regions = maps.read().splitlines()
        memory = open(f"/proc/{pid}/mem", "rb", buffering=0)
    except OSError:
        return []
    with memory:
        def read(address, size):
            try:
                memory.seek(address)
                return memory.read(size)
            except (OSError, OverflowError, ValueError):
                return b""
        trampolines = stack_trampolines(pid, regions)
        code = libmcount_code(regions)
        slots = {}
        for thread in everyone:
            slot = trampoline_slot(read, thread, trampolines.get(thread.tid), code)
            if slot:
                slots[slot] = thread.tid
        entries = ret_stack_entries(read, regions, slots, [t.stack_pointer for t in everyone if t.stack_pointer])
        sites = call_sites(pid, [entry[1] for entry in entries.values()])
        pending = []
        for thread in everyone:
            entry = entries.get(thread.tid)
            memory_at = read(thread.wait[1], 16) if thread.wait and thread.wait[0] == "futex" else b""
            if thread.sleep:
                request = read(thread.sleep, 16)
                thread = thread._replace(sleep=struct.unpack("<qq", request) if len(request) == 16 else None)
            if entry:
                _, return_address, plt_entry, _, start = entry
                pending.append(Pending(thread, plt_entry, return_address, start, sites.get(return_address),
                                       memory_at))
            else:
                pending.append(Pending(thread, None, None, None, None, memory_at))
        return pending


def libmcount_code(regions):
    ranges = []
    for line in regions:
        fields = line.split()
        if len(fields) >= 6 and "/libmcount" in fields[5] and "x" in fields[1]:
            ranges.append(tuple(int(x, 16) for x in fields[0].split("-")))
    return ranges


def stack_trampolines(pid, regions):
    """{tid: the address of libmcount's trampoline in the thread's stack}, from
    eu-stack: the frame that it cannot name, inside libmcount."""
    ranges = libmcount_code(regions)
    try:
        stacks = subprocess.run(["eu-stack", "-p", str(pid)], capture_output=True, text=True, timeout=10).stdout
    except (OSError, subprocess.TimeoutExpired):
        return {}
    found = {}
    for tid, frames in re.findall(r"TID (\d+):\n((?:#.*\n?)*)", stacks):
        for address in re.findall(r"#\d+\s+(0x[0-9a-f]+)", frames):
            if any(start <= int(address, 16) < end for start, end in ranges):
                found[int(tid)] = int(address, 16)
                break
    return found


def trampoline_slot(read, thread, trampoline, code):
    """The stack slot above the thread's stack pointer that holds the
    trampoline; where eu-stack could not read the stack (ptrace refused),
    the first slot that points into libmcount's code."""
    if thread.stack_pointer is None:
        return None
    data = read(thread.stack_pointer, STACK_BYTES)
    for offset in range(0, len(data) - 7, 8):
        value = struct.unpack_from("<Q", data, offset)[0]
        if value in (trampoline, (trampoline or -2) + 1) or (trampoline is None and
                                                             any(start <= value < end for start, end in code)):
            return thread.stack_pointer + offset
    return None


def ret_stack_entries(read, regions, slots, stack_pointers):
    """{tid: (parent_loc, parent_ip, child_ip, flags, start_time)}: libmcount's
    entries whose parent_loc is one of the slots, found in the program's
    anonymous memory (its heap, not its stacks)."""
    import numpy as np  # Debian's, beside matplotlib

    found = {}
    if not slots:
        return found
    wanted = np.array(list(slots), dtype=np.uint64)
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
                found.setdefault(slots[entry[0]], entry)
    return found


def call_sites(pid, addresses):
    """{return address: (file, line, function)} of the call before each, from
    the program's debug information; file and line are None without it."""
    if not addresses:
        return {}
    try:
        done = subprocess.run(["eu-addr2line", f"--pid={pid}", "-f", "-C", *(hex(a - 1) for a in addresses)],
                              capture_output=True, text=True, timeout=10)
    except (OSError, subprocess.TimeoutExpired):
        return {}
    out = done.stdout.splitlines()
    sites = {}
    for address, (function, place) in zip(addresses, zip(out[0::2], out[1::2])):
        found = re.fullmatch(r"(.+?):(\d+)(?::\d+)?", place)  # file:line, or file:line:column
        known = found and found[1] != "??" and found[2] != "0"
        sites[address] = (found[1] if known else None, int(found[2]) if known else None,
                          None if function == "??" else function)
    return sites
