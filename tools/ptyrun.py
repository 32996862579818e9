"""Runs a built program as a user would and records what it writes, and when.

Shared by the tests, the benchmark and the timeline tool. Standard output goes
to a pseudo-terminal (so stdio flushes each line as it is written), to a pipe,
to a file such as /dev/full, or is closed; standard error is kept apart, or
shares the terminal. Sleeps can be compressed with libfaketime, and one
pthread_create, pthread_join or fork call can be made to fail through the
injection library.

The program runs in a session of its own, so that everything it starts can be
found and stopped: whatever way the run ends, no process of it is left.

Where things are comes from the environment, as CTest sets it: BIN_DIR (the
built programs, default build), FAKETIME_LIB, INJECT_LIB, PRELOAD_FIRST.
"""
import errno, fcntl, glob, os, pty, select, signal, subprocess, tempfile, termios, threading, time, tty
from collections import namedtuple

# lines: [(seconds, text)]; stopped: why the run was stopped (None when it ended by itself)
Run = namedtuple("Run", "out lines status end err usage stopped", defaults=(None,))
TICK_SECONDS = 0.1  # how often a run is watched
GRACE_SECONDS = 10  # for a wrapper, such as uftrace, to finish its work after its program is stopped


def faketime_lib():
    found = os.environ.get("FAKETIME_LIB") or (glob.glob("/usr/lib/*/faketime/libfaketime.so.1") + [""])[0]
    if not found:
        raise FileNotFoundError("libfaketime not found: apt-get install faketime")
    return found


def is_main_thread():
    return threading.current_thread() is threading.main_thread()


def members(session):
    """The live processes of a session, leader included: {pid: parent pid}."""
    found = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
        except OSError:  # gone meanwhile
            continue
        state, parent, session_id = fields[0], int(fields[1]), int(fields[3])
        if session_id == session and state not in "ZX":
            found[int(entry)] = parent
    return found


def stop(session, spare=None):
    """Kills every process of the session but spare (a wrapper that must write
    up what it recorded); repeats until none is left, so that a process forked
    meanwhile goes too."""
    for _ in range(50):
        left = [pid for pid in members(session) if pid != spare]
        if not left:
            return
        for pid in left:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        time.sleep(0.02)


def run(program, *args, output="terminal", stderr="apart", speed=None, fail=None, wrapper=(), timeout=120,
        env=None, watch=None, stopping=None, preload=()):
    """program: a name in BIN_DIR, or a path; output: "terminal", "pipe",
    "closed" or a file to write to (for example /dev/full); stderr: "apart" or
    "terminal" (with output, on the terminal); fail: (call, nth, error name),
    e.g. ("pthread_create", 2, "EAGAIN"); wrapper: a command that runs the
    program, e.g. valgrind with its options; timeout: real seconds, or None;
    preload: more libraries to load into the program.
    watch(session, seconds) is called every tenth of a second while the
    program runs (session: the session's id, the pid of its first process);
    when it returns a reason, or on Ctrl-C (reason "interrupted"),
    stopping(session, reason) is called and the program is stopped, its
    wrapper spared to finish; the Run says why in stopped."""
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

    with tempfile.TemporaryFile() as err:
        start = time.monotonic()
        proc = subprocess.Popen([*wrapper, path, *args], env=env, stdin=subprocess.DEVNULL, stdout=writer,
                                stderr=writer if stderr == "terminal" else err, preexec_fn=prepare,
                                start_new_session=True)
        session, spare = proc.pid, proc.pid if wrapper else None
        if writer != subprocess.DEVNULL:
            os.close(writer)
        stopped, stop_by = None, None

        def halt(reason):
            nonlocal stopped, stop_by
            stopped, stop_by = reason, time.monotonic() + GRACE_SECONDS
            if stopping:
                stopping(session, reason)
            stop(session, spare)

        def overdue():
            proc.kill()
            raise AssertionError(f"{program} still running after {timeout} s")

        def tick():
            now = time.monotonic()
            if stop_by is not None and now > stop_by:  # the wrapper does not finish: it goes too
                stop(session)
            elif stopped is None and timeout is not None and now > start + timeout:
                overdue()
            elif stopped is None and watch:
                reason = watch(session, now - start)
                if reason:
                    halt(reason)

        data, lines, pending, now, last_tick = bytearray(), [], b"", 0.0, start
        interrupted = []

        def on_interrupt(signum, frame):  # the first Ctrl-C stops the program; a second one, the run
            if interrupted:
                raise KeyboardInterrupt
            interrupted.append(signum)

        handler = signal.signal(signal.SIGINT, on_interrupt) if is_main_thread() else None
        try:
            while True:
                if interrupted and stopped is None:
                    halt("interrupted")
                if time.monotonic() - last_tick >= TICK_SECONDS:
                    last_tick = time.monotonic()
                    tick()
                if reader is None:
                    # After the end of output the process is about to exit; without it, poll.
                    pid, status, usage = os.wait4(proc.pid, os.WNOHANG)
                    if pid:
                        break
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
                    os.close(reader)
                    reader = None
                    continue
                data += chunk
                *done, pending = (pending + chunk).split(b"\n")
                lines += [(now, line.decode(errors="replace")) for line in done]
        finally:
            if handler is not None:
                signal.signal(signal.SIGINT, handler)
            if reader is not None:
                os.close(reader)
            stop(session)  # whatever is left: a process that outlived its parent, or all on an error
        proc.returncode = status = os.waitstatus_to_exitcode(status)
        end = time.monotonic() - start
        if pending:
            lines.append((now, pending.decode(errors="replace")))
        err.seek(0)
        return Run(bytes(data).decode(errors="replace"), lines, status, end, err.read().decode(errors="replace"), usage,
                   stopped)


def texts(result):
    return [text for _, text in result.lines]
