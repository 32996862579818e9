"""Runs a built program as a user would and records what it writes, and when.

Shared by the tests, the benchmark and the timeline tool. Standard output goes
to a pseudo-terminal (so stdio flushes each line as it is written), to a pipe,
to a file such as /dev/full, or is closed; standard error is kept apart, or
shares the terminal. Sleeps can be compressed with libfaketime, and one
pthread_create, pthread_join or fork call can be made to fail through the
injection library.

The program runs in a session of its own, and this process adopts whatever
it leaves behind (PR_SET_CHILD_SUBREAPER): every process it starts, through
any number of forks, setsid or daemonising, stays a descendant of this one.
So all of them can be found and stopped, and whatever way the run ends, no
process of it is left; and the exit status of a process whose parent did
not wait for it is still known.

Where things are comes from the environment, as CTest sets it: BIN_DIR (the
built programs, default build), FAKETIME_LIB, INJECT_LIB, PRELOAD_FIRST.
"""
import ctypes, errno, fcntl, glob, os, pty, select, signal, subprocess, tempfile, termios, threading, time, tty
from collections import namedtuple

# lines: [(seconds, text)]; stopped: why the run was stopped (None when it
# ended by itself); left: the processes that were still running when the run
# ended, and were stopped ([(pid, command name)]); reaped: {pid: exit status}
# of the processes that this one adopted and waited for; first: the pid of the
# program's own first process (under a wrapper, the wrapper's child); raw: the
# output's bytes; arrivals: [(the end of a piece of the output in raw, when it
# arrived on CLOCK_MONOTONIC, ns)]; skipped: how many bytes of the output
# were left out of raw, after the most that the caller keeps.
Run = namedtuple("Run", "out lines status end err usage stopped left reaped first raw arrivals skipped",
                 defaults=(None, (), None, None, None, (), 0))
TICK_SECONDS = 0.1  # how often a run is watched
GRACE_SECONDS = 10  # for a wrapper, such as uftrace, to finish its work after its program is stopped
DRAIN_SECONDS = 0.5  # for the last output to arrive once every process has ended
PR_SET_CHILD_SUBREAPER = 36


def faketime_lib():
    found = os.environ.get("FAKETIME_LIB") or (glob.glob("/usr/lib/*/faketime/libfaketime.so.1") + [""])[0]
    if not found:
        raise FileNotFoundError("libfaketime not found: apt-get install faketime")
    return found


def is_main_thread():
    return threading.current_thread() is threading.main_thread()


def adopt_orphans():
    """Makes this process the parent of the orphans of its descendants."""
    try:
        ctypes.CDLL(None, use_errno=True).prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)
    except (OSError, AttributeError):
        pass


def processes():
    """Every process of the system: {pid: (parent pid, state, command name)};
    a process whose first thread has ended (its main called pthread_exit) is
    alive while another of its threads is."""
    found = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as stat:
                text = stat.read()
        except OSError:  # gone meanwhile
            continue
        name = text[text.find("(") + 1:text.rfind(")")]
        fields = text.rsplit(")", 1)[1].split()
        state = fields[0]
        if state == "Z" and live_threads(entry):
            state = "S"
        found[int(entry)] = (int(fields[1]), state, name)
    return found


def live_threads(pid):
    try:
        tasks = os.listdir(f"/proc/{pid}/task")
    except OSError:
        return False
    for tid in tasks:
        try:
            with open(f"/proc/{pid}/task/{tid}/stat") as stat:
                if stat.read().rsplit(")", 1)[1].split()[0] not in "ZX":
                    return True
        except OSError:
            continue
    return False


def descendants(root, table=None):
    """The live descendants of root, root excluded: {pid: (parent, state, name)}."""
    table = processes() if table is None else table
    children = {}
    for pid, (parent, _, _) in table.items():
        children.setdefault(parent, []).append(pid)
    found, todo = {}, list(children.get(root, []))
    while todo:
        pid = todo.pop()
        if pid not in found:
            found[pid] = table[pid]
            todo += children.get(pid, [])
    return found


def members(session):
    """The live processes of a session, leader included: {pid: parent pid}."""
    found = {}
    for pid, (parent, state, _) in processes().items():
        try:
            with open(f"/proc/{pid}/stat") as stat:
                session_id = int(stat.read().rsplit(")", 1)[1].split()[3])
        except (OSError, ValueError, IndexError):
            continue
        if session_id == session and state not in "ZX":
            found[pid] = parent
    return found


def kill(pid):
    """SIGKILL to a child not yet waited for (its id cannot be reused)."""
    try:
        os.kill(pid, signal.SIGKILL)
    except ProcessLookupError:
        pass


def stop(pids_of):
    """Kills every process that pids_of() names, again and again, so that a
    process forked meanwhile goes too; returns those killed: {pid: name}."""
    killed = {}
    for _ in range(50):
        left = pids_of()
        if not left:
            break
        for pid, name in left.items():
            try:
                os.kill(pid, signal.SIGKILL)
                killed.setdefault(pid, name)
            except ProcessLookupError:
                pass
        time.sleep(0.02)
    return killed


class Interrupts:
    """Ctrl-C, SIGTERM and SIGHUP sent to this process, counted: the first
    stops the run, and the caller decides what more of them mean."""

    def __init__(self):
        self.count, self.names = 0, []

    def __call__(self, signum, frame):
        self.count += 1
        self.names.append(signal.Signals(signum).name)


def run(program, *args, output="terminal", stderr="apart", speed=None, fail=None, wrapper=(), timeout=120,
        env=None, watch=None, stopping=None, preload=(), stdin="null", echo=None, interrupts=None,
        wrapper_apart=True, most_output=None):
    """program: a name in BIN_DIR, or a path; output: "terminal", "pipe",
    "closed" or a file to write to (for example /dev/full); stderr: "apart" or
    "terminal" (with output, on the terminal); stdin: "null", "inherit"
    (this process's own) or bytes to give it; fail: (call, nth, error name), e.g.
    ("pthread_create", 2, "EAGAIN"); wrapper: a command that runs the
    program, e.g. valgrind with its options, and wrapper_apart says whether it
    runs the program in a process of its own (uftrace) or in its own process
    (valgrind); timeout: real seconds, or None;
    preload: more libraries to load into the program; echo(bytes) is given
    the output as it arrives; most_output: (bytes, lines), how much of the
    output's start to keep whole lines of, or None for all (lines are then
    not kept).
    watch(pids, seconds) is called every tenth of a second while the program
    runs (pids: {pid: (parent, state, name)} of every process of the program,
    its wrapper's aside); when it returns a reason, or on an interrupt
    (reason "interrupted": Ctrl-C, counted by interrupts, an Interrupts,
    where the caller handles the signals), stopping(pids, reason) is called
    and the program is stopped, its wrapper spared to finish; the Run says
    why in stopped."""
    env, preload = dict(os.environ, **(env or {})), list(preload)
    if fail:
        call, nth, error = fail
        env.update(INJECT_CALL=call, INJECT_NTH=str(nth), INJECT_ERR=str(getattr(errno, error)))
        preload.append(os.environ["INJECT_LIB"])
    if speed:
        env["FAKETIME"] = f"+0 x{speed}"
        preload.append(faketime_lib())
    if preload:
        env["LD_PRELOAD"] = " ".join(env.get("PRELOAD_FIRST", "").split() + preload)
    path = program if os.sep in program else os.path.join(os.environ.get("BIN_DIR", "build"), program)
    reader = None
    if output == "terminal":
        reader, writer = pty.openpty()
        tty.setraw(writer)  # no \n -> \r\n translation
    elif output == "pipe":
        reader, writer = os.pipe()
    elif output == "closed":
        writer = subprocess.DEVNULL  # replaced by a closed descriptor in the child
    else:
        writer = os.open(output, os.O_WRONLY)

    def prepare():  # in the child, after setsid
        if output == "closed":
            os.close(1)
        elif output == "terminal":
            # The terminal becomes the session's own: should this process die
            # without stopping the run, closing it hangs up the whole session.
            fcntl.ioctl(1, termios.TIOCSCTTY, 0)

    adopt_orphans()
    me = os.getpid()
    given = subprocess.PIPE if isinstance(stdin, bytes) else None if stdin == "inherit" else subprocess.DEVNULL
    with tempfile.TemporaryFile() as err:
        start = time.monotonic()
        proc = subprocess.Popen([*wrapper, path, *args], env=env, stdin=given, stdout=writer,
                                stderr=writer if stderr == "terminal" else err, preexec_fn=prepare,
                                start_new_session=True)
        if given == subprocess.PIPE:
            threading.Thread(target=feed, args=(proc.stdin, stdin), daemon=True).start()
        spare = proc.pid if wrapper and wrapper_apart else None
        if writer != subprocess.DEVNULL:
            os.close(writer)
        stopped, stop_by, status, usage, first = None, None, None, None, None if spare else proc.pid
        reaped, left = {}, {}

        def family(table=None):
            """The program's processes: descendants of this process, the
            wrapper aside, its own children (the program) included."""
            found = descendants(me, table)
            found.pop(spare, None)
            return found

        def reap(table):
            """Waits for the adopted processes that have ended, keeping their status."""
            nonlocal first
            for pid, (parent, state, _) in table.items():
                if parent == me and pid != proc.pid and state in "ZX":
                    try:
                        done, code = os.waitpid(pid, os.WNOHANG)
                    except ChildProcessError:
                        continue
                    if done:
                        reaped[done] = os.waitstatus_to_exitcode(code)
            if first is None:
                first = next((pid for pid, (parent, _, _) in table.items() if parent == proc.pid), None)

        def halt(reason):
            nonlocal stopped, stop_by
            stopped, stop_by = reason, time.monotonic() + GRACE_SECONDS
            if stopping:
                stopping({pid: info for pid, info in family().items() if info[1] not in "ZX"}, reason)
            left.update(stop(lambda: {pid: info[2] for pid, info in family().items() if info[1] not in "ZX"}))

        def overdue():
            proc.kill()
            raise AssertionError(f"{program} still running after {timeout} s")

        def tick():
            now = time.monotonic()
            table = processes()
            reap(table)
            if stop_by is not None and now > stop_by and status is None:  # the wrapper does not finish: it goes too
                kill(proc.pid)
            elif stopped is None and timeout is not None and now > start + timeout:
                overdue()
            elif stopped is None and watch:
                reason = watch({pid: info for pid, info in family(table).items() if info[1] not in "ZX"},
                               now - start)
                if reason:
                    halt(reason)

        data, lines, pending, now, last_tick, drained, arrivals = bytearray(), [], b"", 0.0, start, None, []
        finished = None  # the terminal once it has said all, kept open until the run is over
        skipped = newlines = 0
        own_interrupts = interrupts is None and is_main_thread()
        if own_interrupts:
            interrupts = Interrupts()
        handler = signal.signal(signal.SIGINT, interrupts) if own_interrupts else None
        try:
            while True:
                if interrupts is not None and interrupts.count and stopped is None:
                    halt("interrupted")
                if time.monotonic() - last_tick >= TICK_SECONDS:
                    last_tick = time.monotonic()
                    tick()
                if status is None:
                    done, code, use = os.wait4(proc.pid, os.WNOHANG)
                    if done:
                        status, usage = code, use
                        if wrapper:
                            # The wrapper ends when its program does: what is left runs on untraced.
                            left.update(stop(lambda: {pid: info[2] for pid, info in family().items()
                                                      if info[1] not in "ZX"}))
                        drained = time.monotonic() + DRAIN_SECONDS
                if status is not None and (reader is None or time.monotonic() > drained):
                    if reader is None or not wrapper:
                        break
                    if not family():
                        break
                if reader is None:
                    time.sleep(0.002)
                    continue
                if not select.select([reader], [], [], TICK_SECONDS)[0]:
                    continue
                try:
                    chunk = os.read(reader, 4096)
                except OSError:  # EIO: the last writer has closed the terminal
                    chunk = b""
                now = time.monotonic() - start
                if not chunk:
                    # Nothing more comes. The terminal stays open until the run is
                    # over: closing it would hang up a program that goes on without it.
                    finished, reader = reader, None
                    continue
                if echo:
                    echo(chunk)
                if most_output:
                    room = max(most_output[0] - len(data), 0) if newlines < most_output[1] else 0
                    skipped += max(len(chunk) - room, 0)
                    if room:
                        data += chunk[:room]
                        newlines += chunk.count(b"\n", 0, room)
                        arrivals.append((len(data), time.monotonic_ns()))
                    continue
                data += chunk
                arrivals.append((len(data), time.monotonic_ns()))
                *done_lines, pending = (pending + chunk).split(b"\n")
                lines += [(now, line.decode(errors="replace")) for line in done_lines]
        finally:
            if handler is not None:
                signal.signal(signal.SIGINT, handler)
            for done_with in (reader, finished):
                if done_with is not None:
                    os.close(done_with)
            # Whatever is left: a process that outlived its parent, or all on an error.
            left.update(stop(lambda: {pid: info[2] for pid, info in descendants(me).items()
                                      if info[1] not in "ZX" and pid != proc.pid}))
            if status is None:
                kill(proc.pid)
            reap(processes())
        if status is None:
            _, code, usage = os.wait4(proc.pid, 0)
            status = code
        proc.returncode = status = os.waitstatus_to_exitcode(status)
        end = time.monotonic() - start
        if pending:
            lines.append((now, pending.decode(errors="replace")))
        err.seek(0)
        if skipped:  # the line that the limit cut leaves whole, and those past the most lines
            last = len(data)
            for _ in range(max(newlines - most_output[1], 0) + 1):
                last = data.rfind(b"\n", 0, last)
            whole = last + 1
            skipped += len(data) - whole
            del data[whole:]
            arrivals[:] = [(min(offset, whole), ns) for offset, ns in arrivals]
        return Run(bytes(data).decode(errors="replace"), lines, status, end, err.read().decode(errors="replace"),
                   usage, stopped, sorted(left.items()), reaped, first, bytes(data), arrivals, skipped)


def feed(pipe, data):
    """Gives the program its input, as much as it reads, then its end."""
    try:
        pipe.write(data)
    except OSError:  # it ended, or closed its input, without reading all of it
        pass
    finally:
        try:
            pipe.close()
        except OSError:
            pass


def texts(result):
    return [text for _, text in result.lines]
