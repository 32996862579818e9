#!/usr/bin/python3
"""Shows a run of a program from the inside: each thread's waits and sleeps,
the objects' values and holders, and who woke whom.

Runs PROGRAM, unmodified, on a pseudo-terminal under uftrace, which records
every library call of every thread and process with its arguments, and
writes:
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
fendrow), taken from DIR, or the path of any dynamically linked program; the
ARGs go to it unchanged. --speed N compresses time N times with libfaketime;
every time reported is in the program's own seconds all the same.

Exit status: 0 after a run that exited with 0; 3 after a run that failed,
crashed, hung, reached its deadline or was interrupted (the trace, picture
and table are written all the same); 1 when the tool could not trace; 2 for
bad arguments.
"""
import argparse, importlib.util, os, shutil, signal, sys, tempfile, threading

from inside import analyse, picture, read, record, table, trace
from inside.read import Failure

PROGRAMS = ("gorvane", "lumbrick", "bakers", "fendrow")
DEADLINE_SECONDS = 600
EXAMPLES = """examples:
  tools/timeline.py bakers                      # a bakery day in real time: bakers.json, bakers.png
  tools/timeline.py --speed 20 bakers           # the same day in 4 seconds
  tools/timeline.py --out /tmp/pc ./prodcons 3  # a program of your own, with its argument 3
  tools/timeline.py --deadline 30 -- ./server -v   # stop it after 30 of its seconds; -v is its own
"""


def arguments(argv):
    """The tool's options, then PROGRAM and its ARGs, which go to it as they are."""
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0], epilog=EXAMPLES,
                                     usage="%(prog)s [--bin DIR] [--speed N] [--deadline SECONDS] [--out PREFIX] "
                                           "[--] PROGRAM [ARG ...]",
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--bin", default="build", metavar="DIR", help="where this project's programs are built "
                                                                      "(build)")
    parser.add_argument("--speed", type=float, metavar="N", help="run the program's clocks N times as fast with "
                                                                  "libfaketime")
    parser.add_argument("--out", metavar="PREFIX", help="write PREFIX.json and PREFIX.png (the program's name)")
    parser.add_argument("--deadline", type=float, metavar="SECONDS", default=DEADLINE_SECONDS,
                        help=f"stop the run after SECONDS of the program's time ({DEADLINE_SECONDS})")
    parser.add_argument("program", metavar="PROGRAM", help=", ".join(PROGRAMS) + ", or a program's path; "
                                                           "its own ARGs follow it")
    at = 0  # where PROGRAM is: after the options and their values, or after --
    while at < len(argv) and argv[at].startswith("-") and argv[at] != "--":
        at += 1 if "=" in argv[at] or argv[at] in ("-h", "--help") else 2
    if at < len(argv) and argv[at] == "--":
        argv = argv[:at] + argv[at + 1:]
    options = parser.parse_args(argv[:at + 1])
    options.args = argv[at + 1:]
    if options.speed is not None and options.speed <= 0:
        parser.error("--speed takes a number above 0")
    if options.deadline <= 0:
        parser.error("--deadline takes a number of seconds above 0")
    return options


def program_path(options):
    if options.program in PROGRAMS:
        path = os.path.join(options.bin, options.program)
        if not os.path.exists(path):
            raise Failure(f"{path} is not built: cmake --preset default && cmake --build build")
        return path
    if os.sep not in options.program and not os.path.exists(options.program):
        raise Failure(f"no program {options.program}: give one of {', '.join(PROGRAMS)}, or a path")
    return options.program


def main():
    options = arguments(sys.argv[1:])
    path = program_path(options)
    name = os.path.basename(path)
    prefix = options.out or name
    if not os.path.isdir(os.path.dirname(prefix) or "."):
        raise Failure(f"there is no folder {os.path.dirname(prefix)} to write {prefix}.json and {prefix}.png in")
    record.check_program(path)
    if not shutil.which("uftrace"):
        raise Failure("uftrace is missing: apt-get install uftrace")
    if not shutil.which("eu-stack"):
        raise Failure("eu-stack is missing: apt-get install elfutils")
    if importlib.util.find_spec("matplotlib") is None:
        raise Failure("matplotlib is missing: apt-get install python3-matplotlib")
    if importlib.util.find_spec("elftools") is None:
        raise Failure("pyelftools is missing: apt-get install python3-pyelftools")
    speed = options.speed and (int(options.speed) if options.speed == int(options.speed) else options.speed)
    progress = progress_printer()
    # matplotlib takes half a second to import: it does so while the program runs.
    threading.Thread(target=picture.prepare, daemon=True).start()
    with tempfile.TemporaryDirectory() as folder:
        progress(f"running {name} under uftrace (Ctrl-C stops it, and keeps what was recorded)")
        recording = record.record(path, options.args, speed, options.deadline, folder)
        progress("reading the record")
        recorded = read.read(recording.folder, speed, progress, recording.helper, os.path.abspath(path))
        progress("analysing")
        result = analyse.analyse(recorded, recording, read.plt_names(recording.folder, recorded.symbols))
    progress("writing the trace")
    trace.write(f"{prefix}.json", name, result)
    progress("drawing")
    picture.draw(f"{prefix}.png", name, speed, result, progress)
    progress("")
    for warning in result.warnings:
        print(f"timeline: warning: {warning}", file=sys.stderr)
    print(table.table(result, table.ending(result, recording)))
    for line in table.epilogue(result, options.deadline):
        print(line)
    print(f"wrote {prefix}.json and {prefix}.png", file=sys.stderr)
    stopped = result.stop is not None
    return 3 if stopped or recording.ended != "exited with status 0" else 0


def progress_printer():
    """Shows progress on standard error, in place, when that is a terminal."""
    if not sys.stderr.isatty():
        return lambda text: None

    def show(text):
        sys.stderr.write(f"\r\033[K{text}")
        sys.stderr.flush()
    return show


def on_terminate(signum, frame):
    raise SystemExit(128 + signum)  # unwinds through the runner, which stops the program


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, on_terminate)
    signal.signal(signal.SIGHUP, on_terminate)
    try:
        sys.exit(main())
    except Failure as failure:
        sys.exit(f"timeline: {failure}")
    except KeyboardInterrupt:
        sys.exit("timeline: interrupted")
