"""Saved records: runs of test programs as the recording library wrote them,
kept under tests/records/ (a few kilobytes each), so that the tool's stages
can be tested on them without running any program.

A saved record is the library's files, each thread's buffer cut to the
records it holds; what the runner saw (the output, the status, the live
program when the tool stopped it); for --races, Helgrind's logs; and what
the program's files said of its addresses when it was saved (the names of
its objects, its routines' and types' names, the symbols that C++'s thread
states point to). The program itself is not kept: the saved answers stand
in for its symbols and debugging information, so a record reads the same on
any machine.

To save one again, after the record's format or a program changed, from the
root after a build:
    PYTHONPATH=tools /usr/bin/python3 tests/saved.py [--races] [--speed N] NAME PROGRAM [ARG...]
"""
import argparse, base64, dataclasses, json, os, shutil, sys, tempfile

from timeline import analyse, helgrind, objects, read, record, snapshot, watch
from timeline.read import RECORD, SEGMENT
from timeline.symbols import Symbols

RECORDS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "records")
MISSING = "/nonexistent/"  # where a saved record's program is: not there, so nothing reads its files


class SavedSymbols(Symbols):
    """The program's symbols as they were when the record was saved: where
    each module lay comes from the record's maps, as ever; what the files
    said comes from the saved answers, and what they were not asked is not
    known."""

    def __init__(self, modules, program, stack, answers):
        super().__init__(modules, program, stack)
        self.answers = answers

    def answer(self, kind, address, default=None):
        return self.answers.get(kind, {}).get(str(address), default)

    def object(self, address, kind=None):
        return self.answer("objects", address) or hex(address)

    def variable(self, address):  # every object is named already: no source line is read to name it
        return True if self.answer("objects", address) else None

    def routine(self, address):
        return self.answer("routines", address) or hex(address)

    def type_name(self, address):
        return self.answer("types", address)

    def in_library(self, address):
        return bool(self.answer("library", address, False))

    def symbol(self, address):
        found = self.answer("symbols", address)
        return tuple(found) if found else None

    def kind(self, address):
        return None

    def offset(self, address):
        return None

    def debug(self, path):
        return None

    def table(self, path):
        return [], False

    def locals_of(self, used):
        return {}

    def sites(self, addresses):
        return {}

    def tail_site(self, address):
        return None


class Asked:
    """The real symbols, noting what the analysis asks of them, and the
    names that it gives objects, for a saved record's answers."""

    def __init__(self, symbols):
        self.symbols, self.answers = symbols, {}

    def __getattr__(self, name):
        return getattr(self.symbols, name)

    def note(self, kind, address, found):
        self.answers.setdefault(kind, {})[str(address)] = found
        return found

    def routine(self, address):
        return self.note("routines", address, self.symbols.routine(address))

    def in_library(self, address):
        return self.note("library", address, self.symbols.in_library(address))

    def symbol(self, address):
        return self.note("symbols", address, self.symbols.symbol(address))


def save(name, program, args, speed, races):
    """Runs the program as the tool does and keeps its record as name."""
    folder = os.path.join(RECORDS, name)
    with tempfile.TemporaryDirectory() as work:
        recording = record.record(program, args, speed, 20, work, stdin="null")
        logs = None
        if races:
            logs, _ = record.race_run(program, args, speed, 20, work, "null", None)
        recorded = read.read(recording.folder, speed, os.path.abspath(program))
        asked = Asked(recorded.symbols)
        names = objects.Names.object

        def noted(self, address, kind):
            found = names(self, address, kind)
            asked.note("objects", address, found)
            asked.note("types", address, self.type_name(address))
            return found
        objects.Names.object = noted
        try:
            analyse.analyse(dataclasses.replace(recorded, symbols=asked), recording, os.path.basename(program), speed)
        finally:
            objects.Names.object = names
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(os.path.join(folder, "record"))
        for file in os.listdir(recording.folder):
            if file.endswith((".rec", ".maps")):  # the run's shared header is the library's alone
                keep(os.path.join(recording.folder, file), os.path.join(folder, "record", file))
        if logs:
            shutil.copytree(logs, os.path.join(folder, "helgrind"))
    with open(os.path.join(folder, "run.json"), "w") as written:
        json.dump({"program": os.path.basename(program), "speed": speed, "symbols": asked.answers,
                   "recording": recording_json(recording)}, written, indent=1)
        written.write("\n")


def keep(source, target):
    """A file of the record, a thread's buffer cut to the records it holds."""
    with open(source, "rb") as file:
        data = file.read()
    if source.endswith(".rec") and len(data) >= SEGMENT.size:
        count, capacity = SEGMENT.unpack(data[:SEGMENT.size])[1], SEGMENT.unpack(data[:SEGMENT.size])[6]
        data = data[:SEGMENT.size + min(count, capacity) * RECORD.itemsize]
    with open(target, "wb") as file:
        file.write(data)


def recording_json(recording):
    taken = recording.snapshot
    return {"output": base64.b64encode(recording.output).decode(), "arrivals": recording.arrivals,
            "skipped": recording.skipped, "status": recording.status, "left": recording.left,
            "snapshot": None if taken is None else dict(
                dataclasses.asdict(taken),
                pending=[{"thread": p.thread._asdict(), "memory": p.memory.hex(),
                          "frames": [list(frame) for frame in p.frames]} for p in taken.pending],
                pipes={str(inode): sorted(pids) for inode, pids in (taken.pipes or {}).items()})}


def recording_of(saved, folder):
    """The Recording that run.json keeps."""
    taken = saved["snapshot"]
    if taken is not None:
        pending = [snapshot.Pending(watch.Thread(**dict(p["thread"], wait=tuple(p["thread"]["wait"])
                                                        if p["thread"]["wait"] else None)),
                                    bytes.fromhex(p["memory"]), [snapshot.Frame(*frame) for frame in p["frames"]])
                   for p in taken["pending"]]
        taken = snapshot.Snapshot(**dict(taken, pending=pending,
                                         pipes={int(inode): set(pids) for inode, pids in taken["pipes"].items()}))
    return record.Recording(folder, base64.b64decode(saved["output"]), [tuple(a) for a in saved["arrivals"]],
                            saved["skipped"], saved["status"], taken, [tuple(left) for left in saved["left"]])


def load(name):
    """(the Record as the reader reads it, with the saved symbols; the
    Recording; the program's name; its speed; Helgrind's logs or None)."""
    folder = os.path.join(RECORDS, name)
    with open(os.path.join(folder, "run.json")) as file:
        saved = json.load(file)
    program = MISSING + saved["program"]
    recorded = read.read(os.path.join(folder, "record"), saved["speed"], program)
    known = recorded.symbols
    recorded = dataclasses.replace(recorded, symbols=SavedSymbols(known.modules, program, known.stack,
                                                                  saved["symbols"]))
    logs = os.path.join(folder, "helgrind")
    return (recorded, recording_of(saved["recording"], os.path.join(folder, "record")), saved["program"],
            saved["speed"], helgrind.read_logs(logs) if os.path.isdir(logs) else None)


def analysed(name):
    """The model of a saved record's run, as the tool builds it."""
    recorded, recording, program, speed, logs = load(name)
    races = (logs, None, MISSING + program) if logs is not None else None
    return analyse.analyse(recorded, recording, program, speed, races)


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description="Saves a run of a program as a record for the unit tests.")
    parser.add_argument("name")
    parser.add_argument("program")
    parser.add_argument("--races", action="store_true")
    parser.add_argument("--speed", type=float)
    parser.add_argument("args", nargs=argparse.REMAINDER)
    given = parser.parse_args()
    speed = int(given.speed) if given.speed and given.speed == int(given.speed) else given.speed
    save(given.name, given.program, given.args, speed, given.races)
    print(f"saved {given.name} in {os.path.relpath(os.path.join(RECORDS, given.name))}", file=sys.stderr)
