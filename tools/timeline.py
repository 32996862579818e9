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

Exit status: 0 after a run that exited with 0; 4 when --races found a data
race in it; 3 after a run that failed, crashed, hung, stopped, reached its
deadline or was interrupted (the trace, picture and table are written all
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
import argparse, importlib.util, math, os, shutil, sys, tempfile, threading  # noqa: E402


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

from inside import analyse, picture, races, read, record, table, trace  # noqa: E402
from inside.read import Failure  # noqa: E402

PROGRAMS = ("gorvane", "lumbrick", "bakers", "fendrow")
BUILD = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "build")
DEADLINE_SECONDS = 600
FASTEST = 1000  # libfaketime's clocks go no faster than this and stay true
GIVE_UP = 3  # Ctrl-Cs after which the tool gives up
MOST_INPUT = 64 << 20  # bytes of input that --races keeps for its two runs
EXAMPLES = """examples:
  tools/timeline.py bakers                      # a bakery day in real time: bakers.json, bakers.png
  tools/timeline.py --speed 20 bakers           # the same day in 4 seconds
  tools/timeline.py --out /tmp/pc ./prodcons 3  # a program of your own, with its argument 3
  echo 5 | tools/timeline.py ./reader           # a program that reads its standard input
  tools/timeline.py --deadline 30 -- ./server -v   # stop it after 30 of its seconds; -v is its own
  tools/timeline.py --races ./counter           # and the data races that Helgrind finds in it
"""


def positive(most=None):
    def number(text):
        try:
            value = float(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None
        if not math.isfinite(value) or value <= 0 or (most is not None and value > most):
            raise argparse.ArgumentTypeError(f"{text} is not a number above 0" +
                                             (f" and at most {most}" if most else ""))
        return value
    return number


def arguments(argv):
    """The tool's options, then PROGRAM and its ARGs, which go to it as they are."""
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0], epilog=EXAMPLES,
                                     usage="%(prog)s [--bin DIR] [--speed N] [--deadline SECONDS] [--out PREFIX] "
                                           "[--races] [--] PROGRAM [ARG ...]",
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--bin", default=BUILD, metavar="DIR", help="where this project's programs are built "
                                                                    "(the project's build folder)")
    parser.add_argument("--speed", type=positive(FASTEST), metavar="N",
                        help=f"run the program's clocks N times as fast with libfaketime (up to {FASTEST})")
    parser.add_argument("--out", metavar="PREFIX", help="write PREFIX.json and PREFIX.png (the program's name, "
                                                        "in the current folder)")
    parser.add_argument("--deadline", type=positive(), metavar="SECONDS", default=DEADLINE_SECONDS,
                        help=f"stop the run after SECONDS of the program's time ({DEADLINE_SECONDS})")
    parser.add_argument("--races", action="store_true", help="then run it under Helgrind, and say its data races "
                                                               "(needs valgrind)")
    parser.add_argument("program", metavar="PROGRAM", help=", ".join(PROGRAMS) + ", or a program's path; "
                                                           "its own ARGs follow it")
    at = 0  # where PROGRAM is: after the options and their values, or after --
    while at < len(argv) and argv[at].startswith("-") and argv[at] != "--":
        at += 1 if "=" in argv[at] or argv[at] in ("-h", "--help", "--races") else 2
    if at < len(argv) and argv[at] == "--":
        argv = argv[:at] + argv[at + 1:]
    options = parser.parse_args(argv[:at + 1])
    options.args = argv[at + 1:]
    return options


def shown(text):
    """A name as it can be printed, bytes that are not UTF-8 escaped."""
    return text.encode(errors="surrogateescape").decode(errors="backslashreplace")


def program_path(options):
    if options.program in PROGRAMS:
        path = os.path.join(options.bin, options.program)
        if not os.path.exists(path):
            raise Failure(f"{shown(path)} is not built: cmake --preset default && cmake --build build")
        return path
    if os.sep not in options.program and not os.path.exists(options.program):
        raise Failure(f"no program {shown(options.program)}: give one of {', '.join(PROGRAMS)}, or a path")
    return options.program


def check_output(prefix):
    """PREFIX.json and PREFIX.png can be written: the folder is there and
    writable, and neither name is a folder."""
    folder = os.path.dirname(prefix) or "."
    if not os.path.isdir(folder):
        raise Failure(f"there is no folder {shown(folder)} to write {shown(prefix)}.json and .png in")
    try:  # a file made and gone there, as the files will be
        tempfile.TemporaryFile(dir=folder).close()
    except OSError as error:
        raise Failure(f"the folder {shown(folder)} cannot be written to: {error.strerror}") from None
    for suffix in (".json", ".png"):
        if os.path.isdir(prefix + suffix):
            raise Failure(f"{shown(prefix + suffix)} is a folder")


def check_tools(path):
    record.check_program(path)
    if record.compiler() is None:
        raise Failure("there is no C compiler to build the tool's recording library: apt-get install gcc")
    if not shutil.which("eu-stack"):
        raise Failure("eu-stack is missing: apt-get install elfutils")
    if importlib.util.find_spec("matplotlib") is None:
        raise Failure("matplotlib is missing: apt-get install python3-matplotlib")
    if importlib.util.find_spec("elftools") is None:
        raise Failure("pyelftools is missing: apt-get install python3-pyelftools")
    if importlib.util.find_spec("numpy") is None:
        raise Failure("numpy is missing: apt-get install python3-numpy")


def given_input(options, interrupts):
    """The program's input: the tool's own, read whole first where the
    program runs twice (--races) and the input is not a terminal, so that
    both runs read the same. The reading gives way to Ctrl-C, which a read
    of a pipe that stays open would not."""
    if not options.races or sys.stdin is None or sys.stdin.isatty():
        return "inherit"
    read, done = bytearray(), []

    def reader():  # by the descriptor: a buffered reader's lock would be held at exit
        try:
            while len(read) <= MOST_INPUT and (chunk := os.read(sys.stdin.fileno(), 1 << 16)):
                read.extend(chunk)
            done.append(True)
        except OSError:
            done.append(False)
    thread = threading.Thread(target=reader, daemon=True)
    thread.start()
    while thread.is_alive() and not interrupts.count:
        thread.join(0.1)
    if interrupts.count:
        return "null"  # the run will not start
    if len(read) > MOST_INPUT:
        raise Failure(f"--races gives both runs the same input, read whole first: it holds at most "
                      f"{MOST_INPUT >> 20} MiB")
    return bytes(read) if done[0] else "null"


class Output:
    """The tool's standard output, where the program's own output is shown as
    it arrives and the table after it; a write that fails is remembered and
    reported at the end, as the programs report theirs."""

    def __init__(self):
        self.error = None if sys.stdout is not None else OSError(9, os.strerror(9))

    def write(self, data):
        if self.error is not None:
            return
        try:
            if isinstance(data, bytes):
                sys.stdout.flush()
                sys.stdout.buffer.write(data)
            else:
                sys.stdout.write(data)
            sys.stdout.flush()
        except OSError as error:
            self.error = error

    def __call__(self, chunk):
        self.write(chunk)


def main(interrupts):
    options = arguments(sys.argv[1:])
    path = program_path(options)
    name = os.path.basename(path)
    prefix = options.out or name
    check_output(prefix)
    check_tools(path)
    speed = options.speed and (int(options.speed) if options.speed == int(options.speed) else options.speed)
    if speed and not shutil.which("faketime"):
        raise Failure("--speed needs libfaketime: apt-get install faketime")
    if options.races and not shutil.which("valgrind"):
        raise Failure("--races needs Valgrind's Helgrind: apt-get install valgrind")
    stdin = given_input(options, interrupts)
    output = Output()
    progress = progress_printer()
    # matplotlib takes half a second to import: it does so while the program runs.
    threading.Thread(target=picture.prepare, daemon=True).start()
    with tempfile.TemporaryDirectory() as folder:
        progress(f"tracing {shown(name)} (Ctrl-C stops it, and keeps what was recorded)", True)
        recording = record.record(path, options.args, speed, options.deadline, folder, output, interrupts, stdin)
        progress("reading the record")
        recorded = read.read(recording.folder, speed, os.path.abspath(path), progress)
        progress("analysing")
        result = analyse.analyse(recorded, recording)
        found = None
        again = stdin if isinstance(stdin, bytes) else "null"
        if options.races and not interrupts.count:
            progress("running the program again, under Helgrind")
            logs, stopped = record.race_run(path, options.args, speed, options.deadline, folder, again, interrupts)
            progress("reading Helgrind's words")
            found, unchecked = races.analyse(races.read_logs(logs), result, recorded.symbols, os.path.abspath(path),
                                              recorded.creations)
            result = result._replace(races=found)
    progress("writing the trace")
    written(f"{prefix}.json", lambda file: trace.write(file, name, result))
    progress("drawing")
    written(f"{prefix}.png", lambda file: picture.draw(file, name, speed, result, progress))
    progress("")
    for warning in result.warnings:
        print(f"timeline: warning: {warning}", file=sys.stderr)
    output.write(table.table(result, table.ending(result, recording), recording.result.left) + "\n")
    for line in table.epilogue(result, options.deadline):
        output.write(line + "\n")
    if found is not None:
        for line in races.words(found, unchecked, stopped):
            output.write(line + "\n")
    print(f"wrote {shown(prefix)}.json and {shown(prefix)}.png", file=sys.stderr)
    if output.error is not None:
        print(f"write error: {output.error.strerror}", file=sys.stderr)
        return 1
    if result.stop is not None or recording.ended != "exited with status 0":
        return 3
    return 4 if found else 0


def written(path, write):
    """Writes a file whole or not at all: into a file beside it, renamed
    over it once complete."""
    folder, base = os.path.split(path)
    try:
        handle, temporary = tempfile.mkstemp(dir=folder or ".", prefix=f".{base}.", suffix=os.path.splitext(path)[1])
    except OSError as error:
        raise Failure(f"cannot write {shown(path)}: {error.strerror}") from None
    os.close(handle)
    try:
        write(temporary)
        mask = os.umask(0)
        os.umask(mask)
        os.chmod(temporary, 0o666 & ~mask)  # as a file made with open(), not mkstemp's own
        os.replace(temporary, path)
    except OSError as error:
        raise Failure(f"cannot write {shown(path)}: {error.strerror}") from None
    finally:
        if os.path.exists(temporary):
            os.unlink(temporary)


def progress_printer():
    """Shows progress on standard error, in place, when that is a terminal."""
    if not sys.stderr.isatty():
        return lambda text, line=False: None

    def show(text, line=False):
        sys.stderr.write(f"\r\033[K{text}" + ("\n" if line else ""))
        sys.stderr.flush()
    return show


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
        status = main(CAUGHT)
    except record.NotStarted as failure:
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
