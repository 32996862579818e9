#!/usr/bin/python3
"""Shows a run of a program from the inside: each thread's waits and sleeps,
the objects' values and holders, and who woke whom.

Runs PROGRAM, unmodified, on a pseudo-terminal with the tool's recording
library loaded into it, which writes down every call of the program's own
code to the POSIX threads, semaphores, processes, sleeps, input and output,
in every thread and process, with its arguments. The program reads the
tool's standard input, and its output shows as it is written; then the
tool writes:
  PREFIX.json  the run in the Trace Event Format (Perfetto, chrome://tracing):
               a track per thread named by its role, each lock, condition,
               semaphore, join, wait and sleep with its object, the written
               lines, the semaphores' values, the mutexes' holders, and a flow
               from each call that ended a wait to the wait;
  PREFIX.png   the same as a picture, drawn with matplotlib;
and prints a table of the time each thread spent blocked and sleeping, and
each object's waits. A run that hangs (every thread waits, and none can wake
another) is found within a second or two, stopped, and explained.

PROGRAM is one of this project's programs (gorvane, lumbrick, bakers,
fendrow), taken from DIR, or the path of any dynamically linked program, in
C or in C++; the ARGs go to it unchanged. --speed N compresses time N times
with libfaketime; every time reported is in the program's own seconds all
the same. Ctrl-C, SIGTERM and SIGHUP stop the program and keep what was
recorded; a third Ctrl-C gives up.

--races runs the program once more, unchanged, under Valgrind's Helgrind,
and says each data race after the table: the object, both threads by their
tracks' names, each one's read or write, its line and the locks it held.

--shake [RUNS] runs the program RUNS times (50): the first as it is, each
other one with delays around its synchronising calls drawn from a seed of
its own, until a run hangs, fails or writes other lines than the first;
that run is shown, with its seed, which --seed S gives again.

Exit status: 0 after a run that exited with 0 (after a shake, all alike); 4
when --races found a data race in it; 3 after a run that failed, crashed,
hung, stopped, reached its deadline or was interrupted, or a shake that
found a run that misbehaved (the trace, picture and table are written all
the same); 1 when the tool could not trace or write; 2 for bad arguments;
128 + the signal's number when interrupted before the program was traced.
"""
import signal
from ptyrun import Interrupts

# The signals are counted from the first moment, not after the second of
# imports below: one that comes while they load stops the run before it starts.
CAUGHT = Interrupts()
for _number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
    signal.signal(_number, CAUGHT)

import logging, random  # noqa: E402,F401  before matplotlib's import in a thread, which a fork must not meet half done
import os, sys  # noqa: E402


def hold_standard_descriptors():
    """Standard input, output and error that the tool was started without
    are held open on /dev/null: a file the tool opens must not become one
    of them. Without standard error the tool's own words go nowhere, and it
    goes on; without standard output it says so at the end."""
    for number in (0, 1, 2):
        try:
            os.fstat(number)
        except OSError:
            held = os.open(os.devnull, os.O_RDWR)  # the lowest free descriptor: this one, or one below it
            if held != number:
                os.dup2(held, number)
                os.close(held)
    if sys.stderr is None:
        sys.stderr = open(2, "w", closefd=False)


hold_standard_descriptors()

from timeline import command, options as command_line  # noqa: E402
from timeline.errors import Failure  # noqa: E402
from timeline.record import NotStarted  # noqa: E402

GIVE_UP = 3  # Ctrl-Cs after which the tool gives up


def on_signal(interrupts):
    """Ctrl-C, SIGTERM and SIGHUP stop the program and the tool writes what was
    recorded; the third Ctrl-C gives up."""
    def handle(signum, frame):
        interrupts(signum, frame)
        given_up()

    def given_up():
        if interrupts.names.count("SIGINT") >= GIVE_UP:
            raise KeyboardInterrupt
    for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, handle)
    given_up()  # as many came while the tool loaded


if __name__ == "__main__":
    if sys.stdout is not None:
        sys.stdout.reconfigure(errors="backslashreplace")
    try:
        on_signal(CAUGHT)
        status = command.main(command_line.parse(sys.argv[1:], __doc__.split("\n\n")[0]), CAUGHT)
    except NotStarted as failure:
        print(f"timeline: {failure}", file=sys.stderr)
        status = 128 + failure.signal
    except Failure as failure:
        status = f"timeline: {failure}"
    except KeyboardInterrupt:
        print("timeline: interrupted three times: gave up, and wrote nothing more", file=sys.stderr)
        status = 130
    except BrokenPipeError:
        status = "timeline: write error: Broken pipe"
    except Exception as error:  # a fault of the tool's own: said in one line, its program already stopped
        if os.environ.get("TIMELINE_TRACEBACK"):  # for the tool's own developers
            import traceback
            traceback.print_exc()
        status = f"timeline: internal error: {type(error).__name__}: {error}"
    try:
        sys.stdout and sys.stdout.flush()
    except OSError:
        pass
    if sys.stdout is not None:  # nothing left to flush at exit, whatever became of standard output
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):  # all is said: the status is this one
        signal.signal(number, signal.SIG_IGN)
    sys.exit(status)
