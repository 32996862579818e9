"""Runs a built program as a user would and records what it writes, and when.

Shared by the tests, the benchmark and the timeline tool. Standard output goes
to a pseudo-terminal (so stdio flushes each line as it is written), to a pipe,
to a file such as /dev/full, or is closed; standard error is kept apart. Sleeps
can be compressed with libfaketime, and one pthread_create, pthread_join or
fork call can be made to fail through the injection library.

Where things are comes from the environment, as CTest sets it: BIN_DIR (the
built programs, default build), FAKETIME_LIB, INJECT_LIB, PRELOAD_FIRST.
"""
import errno, glob, os, pty, select, subprocess, tempfile, time, tty
from collections import namedtuple

Run = namedtuple("Run", "out lines status end err usage")  # lines: [(seconds, text)]


def faketime_lib():
    found = os.environ.get("FAKETIME_LIB") or (glob.glob("/usr/lib/*/faketime/libfaketime.so.1") + [""])[0]
    if not found:
        raise FileNotFoundError("libfaketime not found: apt-get install faketime")
    return found


def run(program, *args, output="terminal", speed=None, fail=None, wrapper=(), timeout=120, env=None):
    """program: a name in BIN_DIR, or a path; output: "terminal", "pipe",
    "closed" or a file to write to (for example /dev/full); fail: (call, nth,
    error name), e.g. ("pthread_create", 2, "EAGAIN"); wrapper: a command
    that runs the program, e.g. valgrind with its options."""
    env, preload = dict(os.environ, **(env or {})), []
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
    close_stdout = (lambda: os.close(1)) if output == "closed" else None
    with tempfile.TemporaryFile() as err:
        start = time.monotonic()
        proc = subprocess.Popen([*wrapper, path, *args], env=env, stdin=subprocess.DEVNULL, stdout=writer,
                                stderr=err, preexec_fn=close_stdout)
        if writer != subprocess.DEVNULL:
            os.close(writer)

        def overdue():
            proc.kill()
            raise AssertionError(f"{program} still running after {timeout} s")

        data, lines, pending, now = b"", [], b"", 0.0
        while reader is not None:
            if not select.select([reader], [], [], max(0, start + timeout - time.monotonic()))[0]:
                overdue()
            try:
                chunk = os.read(reader, 4096)
            except OSError:  # EIO: the last writer has closed the terminal
                chunk = b""
            now = time.monotonic() - start
            if not chunk:
                break
            data += chunk
            *done, pending = (pending + chunk).split(b"\n")
            lines += [(now, line.decode()) for line in done]
        if reader is not None:
            os.close(reader)
        while True:  # after the end of output the process is about to exit; without it, poll
            pid, status, usage = os.wait4(proc.pid, 0 if reader is not None else os.WNOHANG)
            if pid:
                break
            if time.monotonic() > start + timeout:
                overdue()
            time.sleep(0.01)
        proc.returncode = status = os.waitstatus_to_exitcode(status)
        end = time.monotonic() - start
        if pending:
            lines.append((now, pending.decode()))
        err.seek(0)
        return Run(data.decode(), lines, status, end, err.read().decode(), usage)


def texts(result):
    return [text for _, text in result.lines]
