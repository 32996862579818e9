"""The tool's command line, as one typed object: its options first, then
the program and its own arguments, untouched (-- ends the options; an
option's value may follow it or an =)."""
import argparse, math, os
from dataclasses import dataclass, field

from .programs import PROGRAMS

BUILD = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))), "build")
DEADLINE_SECONDS = 600
FASTEST = 1000  # libfaketime's clocks go no faster than this and stay true
EXAMPLES = """examples:
  tools/timeline.py bakers                      # a bakery day in real time: bakers.json, bakers.png
  tools/timeline.py --speed 20 bakers           # the same day in 5 seconds
  tools/timeline.py --out /tmp/pc ./prodcons 3  # a program of your own, with its argument 3
  echo 5 | tools/timeline.py ./reader           # a program that reads its standard input
  tools/timeline.py --deadline 30 -- ./server -v   # stop it after 30 of its seconds; -v is its own
  tools/timeline.py --races ./counter           # and the data races that Helgrind finds in it
  tools/timeline.py --shake --speed 10 ./queue  # run it 50 times, shaken, and show the first that misbehaves
  tools/timeline.py --shake --seed 2718281828 ./queue   # that shake again
"""
FLAGS = ("-h", "--help", "--races")  # options without a value
SHAKES = 50  # runs of --shake unless given
MOST_SHAKES = 100000


@dataclass(frozen=True)
class Options:
    """program: one of this project's programs or a path; args: its own;
    bin: where this project's programs are built; speed: how many times as
    fast libfaketime runs the program's clocks (None: real time);
    deadline: the program's seconds after which it is stopped; out: the
    prefix of the files written (None: the program's name); races: whether
    to run it under Helgrind too; shake: how many runs --shake makes (None
    without it); seed: the one seed that --seed gives those runs, or None."""
    program: str
    args: list = field(default_factory=list)
    bin: str = BUILD
    speed: float | None = None
    deadline: float = DEADLINE_SECONDS
    out: str | None = None
    races: bool = False
    shake: int | None = None
    seed: int | None = None


def positive(most=None):
    """A check of a number above 0 (and at most most), for argparse."""
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


def whole(least, most):
    """A check of a whole number from least to most, for argparse."""
    def number(text):
        if not text.isdigit() or not least <= int(text) <= most:
            raise argparse.ArgumentTypeError(f"{text!r} is not a whole number from {least} to {most:,}")
        return int(text)
    return number


def parser(description):
    """The tool's argument parser."""
    found = argparse.ArgumentParser(description=description, epilog=EXAMPLES,
                                    usage="%(prog)s [--bin DIR] [--speed N] [--deadline SECONDS] [--out PREFIX] "
                                          "[--races | --shake [RUNS] [--seed S]] [--] PROGRAM [ARG ...]",
                                    formatter_class=argparse.RawDescriptionHelpFormatter)
    found.add_argument("--bin", default=BUILD, metavar="DIR", help="where this project's programs are built "
                                                                   "(the project's build folder)")
    found.add_argument("--speed", type=positive(FASTEST), metavar="N",
                       help=f"run the program's clocks N times as fast with libfaketime (up to {FASTEST})")
    found.add_argument("--out", metavar="PREFIX", help="write PREFIX.json and PREFIX.png (the program's name, in "
                                                       "the current folder)")
    found.add_argument("--deadline", type=positive(), metavar="SECONDS", default=DEADLINE_SECONDS,
                       help=f"stop the run after SECONDS of the program's time ({DEADLINE_SECONDS})")
    found.add_argument("--races", action="store_true",
                       help="then run it under Helgrind, and say its data races (needs valgrind)")
    found.add_argument("--shake", nargs="?", const=SHAKES, type=whole(1, MOST_SHAKES), metavar="RUNS",
                       help=f"run it RUNS times ({SHAKES}), the first as it is and the others shaken with delays "
                            "around its synchronising calls, and show the first run that misbehaves")
    found.add_argument("--seed", type=whole(1, 2 ** 64 - 1), metavar="S",
                       help="with --shake: one shaken run, with the delays of seed S")
    found.add_argument("program", metavar="PROGRAM", help=", ".join(PROGRAMS) + ", or a program's path; its own "
                                                          "ARGs follow it")
    return found


def parse(argv, description=""):
    """The Options of a command line (without the tool's own name). Bad
    arguments end the tool with status 2, as argparse does."""
    at = 0  # where PROGRAM is: after the options and their values, or after --
    argv = list(argv)
    while at < len(argv) and argv[at].startswith("-") and argv[at] != "--":
        if argv[at] == "--shake":  # its RUNS may follow it: where none does, argparse must not take PROGRAM
            if at + 1 < len(argv) and argv[at + 1].isdigit():
                at += 2
            else:
                argv[at] = f"--shake={SHAKES}"
                at += 1
            continue
        at += 1 if "=" in argv[at] or argv[at] in FLAGS else 2
    if at < len(argv) and argv[at] == "--":
        argv = argv[:at] + argv[at + 1:]
    found = parser(description)
    given = found.parse_args(argv[:at + 1])
    if given.seed is not None and given.shake is None:
        found.error("--seed goes with --shake")
    if given.shake is not None and given.races:
        found.error("--shake and --races go one at a time")
    speed = given.speed and (int(given.speed) if given.speed == int(given.speed) else given.speed)
    return Options(given.program, argv[at + 1:], given.bin, speed, given.deadline, given.out, given.races,
                   given.shake, given.seed)
