"""Runs a built program as a user would and records what it writes, and when.

Standard output goes to a pseudo-terminal (so stdio flushes each line as it is
written) or to a pipe; standard error is kept apart. Sleeps can be compressed
with libfaketime, and one pthread_create, pthread_join or fork call can be
made to fail through the injection library.
"""
import errno, os, pty, select, subprocess, tempfile, time, tty
from collections import namedtuple

Run = namedtuple("Run", "out lines status end err usage")  # lines: [(seconds, text)]


def run(program, *args, terminal=True, speed=None, fail=None, wrapper=(), timeout=120):
    """fail: (call, nth, error name), e.g. ("pthread_create", 2, "EAGAIN");
    wrapper: a command that runs the program, e.g. valgrind with its options."""
    env, preload = dict(os.environ), []
    if fail:
        call, nth, error = fail
        env.update(INJECT_CALL=call, INJECT_NTH=str(nth), INJECT_ERR=str(getattr(errno, error)))
        preload.append(os.environ["INJECT_LIB"])
    if speed:
        env["FAKETIME"] = f"+0 x{speed}"
        preload.append(os.environ["FAKETIME_LIB"])
    if preload:
        env["LD_PRELOAD"] = " ".join(env.get("PRELOAD_FIRST", "").split() + preload)
    if terminal:
        reader, writer = pty.openpty()
        tty.setraw(writer)  # no \n -> \r\n translation
    else:
        reader, writer = os.pipe()
    with tempfile.TemporaryFile() as err:
        start = time.monotonic()
        proc = subprocess.Popen([*wrapper, os.path.join(os.environ["BIN_DIR"], program), *args], env=env,
                                stdin=subprocess.DEVNULL, stdout=writer, stderr=err)
        os.close(writer)
        data, lines, pending = b"", [], b""
        while True:
            if not select.select([reader], [], [], max(0, start + timeout - time.monotonic()))[0]:
                proc.kill()
                raise AssertionError(f"{program} still running after {timeout} s")
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
        os.close(reader)
        _, status, usage = os.wait4(proc.pid, 0)
        end = time.monotonic() - start
        proc.returncode = status = os.waitstatus_to_exitcode(status)
        if pending:
            lines.append((now, pending.decode()))
        err.seek(0)
        return Run(data.decode(), lines, status, end, err.read().decode(), usage)


def texts(result):
    return [text for _, text in result.lines]
