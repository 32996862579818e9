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
ADDR_NO_RANDOMIZE = 0x0040000  # a personality flag


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


def task_states(pid):
    """{tid: the state letter} of a process's threads, those still there."""
    found = {}
    try:
        tasks = os.listdir(f"/proc/{pid}/task")
    except OSError:
        return found
    for tid in tasks:
        try:
            with open(f"/proc/{pid}/task/{tid}/stat") as stat:
                found[int(tid)] = stat.read().rsplit(")", 1)[1].split()[0]
        except OSError:  # ended meanwhile
            continue
    return found


def live_threads(pid):
    return any(state not in "ZX" for state in task_states(pid).values())


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
        wrapper_apart=True, most_output=None, randomised=True):
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
    not kept); randomised: False runs the program with address
    randomisation off, so that a run prints the addresses that another did.
    watch(pids, seconds) is called every tenth of a second while the program
    runs (pids: {pid: (parent, state, name)} of every process of the program,
    its wrapper's aside); when it returns a reason, or on an interrupt
    (reason "interrupted": Ctrl-C, counted by interrupts, an Interrupts,
    where the caller handles the signals), stopping(pids, reason) is called
    and the program is stopped, its wrapper spared to finish; the Run says
    why in stopped."""
    environment = program_environment(env, fail, speed, preload)
    path = program if os.sep in program else os.path.join(os.environ.get("BIN_DIR", "build"), program)
    reader, writer = output_ends(output)
    personality = None if randomised else ctypes.CDLL(None, use_errno=True).personality

    def prepare():  # in the child, after setsid
        if personality is not None:
            personality(personality(0xFFFFFFFF) | ADDR_NO_RANDOMIZE)
        if output == "closed":
            os.close(1)
        elif output == "terminal":
            # The terminal becomes the session's own: should this process die
            # without stopping the run, closing it hangs up the whole session.
            fcntl.ioctl(1, termios.TIOCSCTTY, 0)

    adopt_orphans()
    given = subprocess.PIPE if isinstance(stdin, bytes) else None if stdin == "inherit" else subprocess.DEVNULL
    with tempfile.TemporaryFile() as err:
        start = time.monotonic()
        proc = subprocess.Popen([*wrapper, path, *args], env=environment, stdin=given, stdout=writer,
                                stderr=writer if stderr == "terminal" else err, preexec_fn=prepare,
                                start_new_session=True)
        if given == subprocess.PIPE:
            threading.Thread(target=feed, args=(proc.stdin, stdin), daemon=True).start()
        if writer != subprocess.DEVNULL:
            os.close(writer)
        session = Session(program, proc, start, bool(wrapper), wrapper_apart, timeout, watch, stopping)
        received = Received(echo, most_output)
        own_interrupts = interrupts is None and is_main_thread()
        if own_interrupts:
            interrupts = Interrupts()
        handler = signal.signal(signal.SIGINT, interrupts) if own_interrupts else None
        try:
            session.follow(reader, received, interrupts)
        finally:
            if handler is not None:
                signal.signal(signal.SIGINT, handler)
            session.close()
        status, usage = session.status, session.usage
        if status is None:
            _, status, usage = os.wait4(proc.pid, 0)
        proc.returncode = status = os.waitstatus_to_exitcode(status)
        end = time.monotonic() - start
        received.finish()
        err.seek(0)
        return Run(bytes(received.data).decode(errors="replace"), received.lines, status, end,
                   err.read().decode(errors="replace"), usage, session.stopped, sorted(session.left.items()),
                   session.reaped, session.first, bytes(received.data), received.arrivals, received.skipped)


def program_environment(env, fail, speed, preload):
    """The program's environment: this process's, with env, and the preloaded
    libraries that inject a failure and compress time."""
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
    return env


def output_ends(output):
    """(the end this process reads the program's output from, or None; the
    program's end of it)."""
    if output == "terminal":
        reader, writer = pty.openpty()
        tty.setraw(writer)  # no \n -> \r\n translation
        return reader, writer
    if output == "pipe":
        return os.pipe()
    if output == "closed":
        return None, subprocess.DEVNULL  # replaced by a closed descriptor in the child
    return None, os.open(output, os.O_WRONLY)


class Received:
    """The program's output as it arrives: its bytes, its lines and their
    moments, the moments the pieces arrived; at most most_output's whole
    lines of it, where that is given."""

    def __init__(self, echo, most_output):
        self.echo, self.most = echo, most_output
        self.data, self.lines, self.pending, self.arrivals = bytearray(), [], b"", []
        self.skipped = self.newlines = 0
        self.last = 0.0  # when the last piece arrived, in seconds from the start

    def take(self, chunk, now):
        """Takes a piece of the output that arrived now (seconds from the start)."""
        self.last = now
        if self.echo:
            self.echo(chunk)
        if self.most:
            room = max(self.most[0] - len(self.data), 0) if self.newlines < self.most[1] else 0
            self.skipped += max(len(chunk) - room, 0)
            if room:
                self.data += chunk[:room]
                self.newlines += chunk.count(b"\n", 0, room)
                self.arrivals.append((len(self.data), time.monotonic_ns()))
            return
        self.data += chunk
        self.arrivals.append((len(self.data), time.monotonic_ns()))
        *done_lines, self.pending = (self.pending + chunk).split(b"\n")
        self.lines += [(now, line.decode(errors="replace")) for line in done_lines]

    def finish(self):
        if self.pending:
            self.lines.append((self.last, self.pending.decode(errors="replace")))
        if self.skipped:  # the line that the limit cut leaves whole, and those past the most lines
            last = len(self.data)
            for _ in range(max(self.newlines - self.most[1], 0) + 1):
                last = self.data.rfind(b"\n", 0, last)
            whole = last + 1
            self.skipped += len(self.data) - whole
            del self.data[whole:]
            self.arrivals[:] = [(min(offset, whole), ns) for offset, ns in self.arrivals]


class Session:
    """A started program and every process it makes: watched, stopped, and
    waited for, its wrapper's process aside."""

    def __init__(self, program, proc, start, wrapped, wrapper_apart, timeout, watch, stopping):
        self.program, self.proc, self.start, self.wrapped = program, proc, start, wrapped
        self.timeout, self.watch, self.stopping = timeout, watch, stopping
        self.me = os.getpid()
        self.spare = proc.pid if wrapped and wrapper_apart else None
        self.first = None if self.spare else proc.pid
        self.stopped, self.stop_by, self.status, self.usage = None, None, None, None
        self.reaped, self.left = {}, {}
        self.reader = self.finished = None  # finished: the terminal once it has said all, kept open until the end

    def family(self, table=None):
        """The program's live processes: descendants of this process, the
        wrapper aside, its own children (the program) included."""
        found = descendants(self.me, table)
        found.pop(self.spare, None)
        return {pid: info for pid, info in found.items() if info[1] not in "ZX"}

    def reap(self, table):
        """Waits for the adopted processes that have ended, keeping their status."""
        for pid, (parent, state, _) in table.items():
            if parent == self.me and pid != self.proc.pid and state in "ZX":
                try:
                    done, code = os.waitpid(pid, os.WNOHANG)
                except ChildProcessError:
                    continue
                if done:
                    self.reaped[done] = os.waitstatus_to_exitcode(code)
        if self.first is None:
            self.first = next((pid for pid, (parent, _, _) in table.items() if parent == self.proc.pid), None)

    def stop_family(self):
        self.left.update(stop(lambda: {pid: info[2] for pid, info in self.family().items()}))

    def halt(self, reason):
        self.stopped, self.stop_by = reason, time.monotonic() + GRACE_SECONDS
        if self.stopping:
            self.stopping(self.family(), reason)
        self.stop_family()

    def tick(self):
        now = time.monotonic()
        table = processes()
        self.reap(table)
        if self.stop_by is not None and now > self.stop_by and self.status is None:
            kill(self.proc.pid)  # the wrapper does not finish: it goes too
        elif self.stopped is None and self.timeout is not None and now > self.start + self.timeout:
            self.proc.kill()
            raise AssertionError(f"{self.program} still running after {self.timeout} s")
        elif self.stopped is None and self.watch:
            reason = self.watch(self.family(table), now - self.start)
            if reason:
                self.halt(reason)

    def follow(self, reader, received, interrupts):
        """Reads the output into received until the program has ended and
        said all, watching it meanwhile."""
        last_tick, drained = self.start, None
        self.reader = reader
        while True:
            if interrupts is not None and interrupts.count and self.stopped is None:
                self.halt("interrupted")
            if time.monotonic() - last_tick >= TICK_SECONDS:
                last_tick = time.monotonic()
                self.tick()
            if self.status is None:
                done, code, use = os.wait4(self.proc.pid, os.WNOHANG)
                if done:
                    self.status, self.usage = code, use
                    if self.wrapped:  # the wrapper ends when its program does: what is left runs on untraced
                        self.stop_family()
                    drained = time.monotonic() + DRAIN_SECONDS
            if self.status is not None and (self.reader is None or time.monotonic() > drained):
                if self.reader is None or not self.wrapped or not self.family():
                    return
            if self.reader is None:
                time.sleep(0.002)
                continue
            if not select.select([self.reader], [], [], TICK_SECONDS)[0]:
                continue
            try:
                chunk = os.read(self.reader, 4096)
            except OSError:  # EIO: the last writer has closed the terminal
                chunk = b""
            if not chunk:
                # Nothing more comes. The terminal stays open until the run is
                # over: closing it would hang up a program that goes on without it.
                self.finished, self.reader = self.reader, None
                continue
            received.take(chunk, time.monotonic() - self.start)

    def close(self):
        """Closes the output, and stops whatever is left: a process that
        outlived its parent, or all on an error."""
        for done_with in (self.reader, self.finished):
            if done_with is not None:
                os.close(done_with)
        self.left.update(stop(lambda: {pid: info[2] for pid, info in descendants(self.me).items()
                                       if info[1] not in "ZX" and pid != self.proc.pid}))
        if self.status is None:
            kill(self.proc.pid)
        self.reap(processes())


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
