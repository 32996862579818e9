"""Runs the program under uftrace on a pseudo-terminal, and watches it.

uftrace records every library call of every thread and process with the
arguments that RECORDED below asks for. An object's address is
recorded as a number (/x): uftrace's own naming (/p) shows a pointer into an
array as the array's name alone, and the tool names it itself. Standard
output and standard error share the terminal, as they would for a user; the
lines that reached it are the run's output."""
import os, re, struct, subprocess
from collections import namedtuple

from ptyrun import run

from .live import Watch
from .read import Failure


def ints(first, count=8):
    return ",".join(f"arg{n}/x" for n in range(first, first + count))


# Each traced call with the arguments it is recorded with; "retval" adds its
# return value. Up to eight integer arguments of the printf family are
# recorded, to tell apart lines written at the same moment.
RECORDED = {
    "pthread_create": "arg1/x,arg3/x,retval", "pthread_join": "arg1/x,retval", "pthread_exit": "arg1/x",
    "pthread_mutex_lock": "arg1/x", "pthread_mutex_trylock": "arg1/x,retval",
    "pthread_mutex_timedlock": "arg1/x,retval", "pthread_mutex_unlock": "arg1/x",
    "pthread_cond_wait": "arg1/x,arg2/x", "pthread_cond_timedwait": "arg1/x,arg2/x,retval",
    "pthread_cond_signal": "arg1/x", "pthread_cond_broadcast": "arg1/x",
    "pthread_rwlock_rdlock": "arg1/x", "pthread_rwlock_wrlock": "arg1/x", "pthread_rwlock_unlock": "arg1/x",
    "pthread_barrier_wait": "arg1/x,retval",
    "sem_init": "arg1/x,arg2,arg3/u", "sem_open": "arg1/s,arg2,arg3/x,arg4/u,retval/x",
    "sem_wait": "arg1/x", "sem_trywait": "arg1/x,retval", "sem_timedwait": "arg1/x,retval", "sem_post": "arg1/x",
    "fork": "retval", "wait": "retval", "waitpid": "arg1/x,retval",
    "sleep": "arg1/u", "usleep": "arg1/u", "nanosleep": "arg1/x", "clock_nanosleep": "arg1,arg2,arg3/x",
    "printf": "arg1/s," + ints(2), "__printf_chk": "arg1,arg2/s," + ints(3), "vprintf": "arg1/s",
    "fprintf": "arg1/x,arg2/s," + ints(3), "__fprintf_chk": "arg1/x,arg2,arg3/s," + ints(4),
    "vfprintf": "arg1/x,arg2/s", "dprintf": "arg1,arg2/s," + ints(3),
    "puts": "arg1/s", "fputs": "arg1/s,arg2/x", "putchar": "arg1", "putc": "arg1,arg2/x", "fputc": "arg1,arg2/x",
    "fwrite": "arg1/s,arg2,arg3,arg4/x", "write": "arg1,arg2/s,arg3", "perror": "arg1/s",
}
PT_INTERP = 3
# libmcount takes each call's time from clock_gettime(CLOCK_MONOTONIC), and
# does not keep the floating-point registers across it. libfaketime's version
# computes with them, so each traced printf("%f") printed 0.00. With the
# monotonic clock left real, uftrace's times are real ones; read.py scales
# them to the program's time.
REAL_MONOTONIC = {"FAKETIME_DONT_FAKE_MONOTONIC": "1"}

# folder: uftrace's record; result: the runner's Run; output: the bytes that
# the program wrote to the terminal; snapshot: the live program when the tool
# stopped it (or None); ended: how the program ended, in words.
Recording = namedtuple("Recording", "folder result output snapshot ended")
# libmcount's handler of a crash writes this notice to the program's standard output.
CRASH_NOTICE = re.compile(rb"\n(?:\x1b\[[0-9;]*m)?Please report this bug to https://github\.com/namhyung/uftrace/"
                          rb"issues\.\n\n(?:\x1b\[[0-9;]*m)?")


def command(folder, log):
    options = ["uftrace", "record", "--force", "--no-pltbind", "--no-sched", "--match=glob", f"--logfile={log}",
               "-d", folder]
    for function, recorded in RECORDED.items():
        args = ",".join(part for part in recorded.split(",") if not part.startswith("retval"))
        retval = next((part for part in recorded.split(",") if part.startswith("retval")), None)
        if args:
            options += ["-A", f"{function}@{args}"]
        if retval:
            options += ["-R", f"{function}@{retval}"]
    return options


def check_program(path):
    """A program that uftrace can trace: an executable file, dynamically linked."""
    if not os.path.isfile(path) or not os.access(path, os.X_OK):
        raise Failure(f"{path} is not an executable file")
    with open(path, "rb") as elf:
        header = elf.read(64)
        if header[:4] != b"\x7fELF" or header[4] != 2:
            raise Failure(f"{path} is not a 64-bit ELF program")
        phoff, = struct.unpack_from("<Q", header, 32)
        entry_size, count = struct.unpack_from("<HH", header, 54)
        elf.seek(phoff)
        table = elf.read(entry_size * count)
    kinds = [struct.unpack_from("<I", table, i * entry_size)[0] for i in range(count)]
    if PT_INTERP not in kinds:
        raise Failure(f"{path} is statically linked: uftrace traces the calls into shared libraries, "
                      "so build it without -static")


def record(path, args, speed, deadline, folder):
    data, log = os.path.join(folder, "uftrace.data"), os.path.join(folder, "uftrace.log")
    watch = Watch(speed, deadline)
    try:
        result = run(os.path.abspath(path), *args, wrapper=command(data, log), speed=speed, stderr="terminal",
                     timeout=None, watch=watch, stopping=watch.stopping, env=REAL_MONOTONIC if speed else None)
    except FileNotFoundError as error:
        raise Failure(str(error)) from None
    if not os.path.exists(os.path.join(data, "task.txt")):
        said = open(log).read().strip().splitlines()[-1:] if os.path.exists(log) else []
        raise Failure(f"uftrace recorded nothing of {path}" + (f": {said[0]}" if said else ""))
    output = CRASH_NOTICE.sub(b"", result.out.encode())
    return Recording(data, result, output, watch.snapshot, ending(data, result))


def ending(data, result):
    """How the program ended, as uftrace saw it: its own status is 1 whatever
    the program's was."""
    info = subprocess.run(["uftrace", "info", "-d", data], capture_output=True, text=True).stdout
    said = re.search(r"exit status\s*:\s*(.+)", info)
    said = said[1].strip() if said else ""
    code = re.search(r"exited with code: (\d+)", said)
    signal = re.search(r"terminated by signal: (\d+)(?: \((.*)\))?", said)
    if code:
        return f"exited with status {code[1]}"
    if signal:
        return f"was killed by signal {signal[1]}" + (f" ({signal[2]})" if signal[2] else "")
    return f"exited with status {result.status}" if result.status >= 0 else f"was killed by signal {-result.status}"
