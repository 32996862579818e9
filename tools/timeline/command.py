"""The tool's run, stage by stage: record the program (and, for --races, run
it once more under Helgrind; for --shake, run it again and again until a
run misbehaves), read the record, analyse it into the model, and write the
trace, the picture and the report from the model."""
import importlib.util, os, shutil, signal, sys, tempfile, threading

from . import analyse, helgrind, picture, read, record, shake, table, trace
from .errors import Failure
from .options import BUILD, DEADLINE_SECONDS, Options
from .programs import PROGRAMS

MOST_INPUT = 64 << 20  # bytes of input that --races keeps for its two runs


def shown(text):
    """A name as it can be printed, bytes that are not UTF-8 escaped."""
    return text.encode(errors="surrogateescape").decode(errors="backslashreplace")


def program_path(options: Options):
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


def check_tools(path, options: Options):
    """What the run needs is here, else one line that names the package."""
    record.check_program(path)
    if record.compiler() is None:
        raise Failure("there is no C compiler to build the tool's recording library: apt-get install gcc")
    if not shutil.which("eu-stack"):
        raise Failure("eu-stack is missing: apt-get install elfutils")
    for module, package in (("matplotlib", "python3-matplotlib"), ("elftools", "python3-pyelftools"),
                            ("numpy", "python3-numpy")):
        if importlib.util.find_spec(module) is None:
            raise Failure(f"{module} is missing: apt-get install {package}")
    if options.speed and not shutil.which("faketime"):
        raise Failure("--speed needs libfaketime: apt-get install faketime")
    if options.races and not shutil.which("valgrind"):
        raise Failure("--races needs Valgrind's Helgrind: apt-get install valgrind")


def given_input(options: Options, interrupts):
    """The program's input: the tool's own, read whole first where the
    program runs more than once (--races, --shake) and the input is not a
    terminal, so that every run reads the same; from a terminal, a shaken
    run's input is empty. The reading gives way to Ctrl-C, which a read of
    a pipe that stays open would not."""
    if options.shake and (sys.stdin is None or sys.stdin.isatty()):
        return "null"
    if not (options.races or options.shake) or sys.stdin is None or sys.stdin.isatty():
        return "inherit"
    found, done = bytearray(), []

    def reader():  # by the descriptor: a buffered reader's lock would be held at exit
        try:
            while len(found) <= MOST_INPUT and (chunk := os.read(sys.stdin.fileno(), 1 << 16)):
                found.extend(chunk)
            done.append(True)
        except OSError:
            done.append(False)
    thread = threading.Thread(target=reader, daemon=True)
    thread.start()
    while thread.is_alive() and not interrupts.count:
        thread.join(0.1)
    if interrupts.count:
        return "null"  # the run will not start
    if len(found) > MOST_INPUT:
        raise Failure(f"{'--races' if options.races else '--shake'} gives every run the same input, read whole "
                      f"first: it holds at most {MOST_INPUT >> 20} MiB")
    return bytes(found) if done[0] else "null"


class Output:
    """The tool's standard output, where the program's own output is shown as
    it arrives and the report after it; a write that fails is remembered and
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


def progress_printer():
    """Shows progress on standard error, in place, when that is a terminal."""
    if not sys.stderr.isatty():
        return lambda text, line=False: None

    def show(text, line=False):
        sys.stderr.write(f"\r\033[K{text}" + ("\n" if line else ""))
        sys.stderr.flush()
    return show


def beside(path):
    """A new empty file beside path, to be renamed over it once complete."""
    folder, base = os.path.split(path)
    try:
        handle, temporary = tempfile.mkstemp(dir=folder or ".", prefix=f".{base}.", suffix=os.path.splitext(path)[1])
    except OSError as error:
        raise Failure(f"cannot write {shown(path)}: {error.strerror}") from None
    os.close(handle)
    return temporary


def put_in_place(temporary, path):
    """The complete file beside path becomes path, with the mode of a file made with open()."""
    try:
        mask = os.umask(0)
        os.umask(mask)
        os.chmod(temporary, 0o666 & ~mask)
        os.replace(temporary, path)
    except OSError as error:
        raise Failure(f"cannot write {shown(path)}: {error.strerror}") from None


def written(path, write):
    """Writes a file whole or not at all: into a file beside it, renamed
    over it once complete."""
    temporary = beside(path)
    try:
        write(temporary)
        put_in_place(temporary, path)
    except OSError as error:
        raise Failure(f"cannot write {shown(path)}: {error.strerror}") from None
    finally:
        if os.path.exists(temporary):
            os.unlink(temporary)


class Aside:
    """Writes a file whole or not at all in a child process, while this one
    goes on (the machine's other core writes the trace while this one draws
    the picture); finish() waits for it and raises its failure. Left
    unfinished (the tool gave up), the child is killed and its file removed."""

    def __init__(self, path, write):
        """Starts the child, which calls write(its temporary file)."""
        self.path, self.temporary = path, beside(path)
        reading, writing = os.pipe()
        self.pid = os.fork()
        if self.pid == 0:  # the child: the parent alone answers signals, and kills it when it gives up
            for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
                signal.signal(number, signal.SIG_IGN)
            os.close(reading)
            try:
                write(self.temporary)
                said = b""
            except OSError as error:
                said = f"cannot write {shown(path)}: {error.strerror}".encode()
            except BaseException as error:  # said by the parent, as its own fault would be
                said = f"internal error: {type(error).__name__}: {error}".encode()
            try:
                os.write(writing, said)
            finally:
                os._exit(0)
        os.close(writing)
        self.reading = reading

    def finish(self):
        said = b""
        try:
            while chunk := os.read(self.reading, 4096):
                said += chunk
            os.waitpid(self.pid, 0)
            self.pid = None
            if said:
                raise Failure(said.decode(errors="replace"))
            put_in_place(self.temporary, self.path)
        finally:
            self.close()

    def close(self):
        if self.pid is not None:
            os.kill(self.pid, signal.SIGKILL)
            os.waitpid(self.pid, 0)
            self.pid = None
        if self.reading is not None:
            os.close(self.reading)
            self.reading = None
        if os.path.exists(self.temporary):
            os.unlink(self.temporary)


def main(options: Options, interrupts):
    """The tool's run; returns its exit status."""
    path = program_path(options)
    name = os.path.basename(path)
    prefix = options.out or name
    check_output(prefix)
    check_tools(path, options)
    stdin = given_input(options, interrupts)
    output = Output()
    progress = progress_printer()
    # matplotlib takes half a second to import: it does so while the program
    # runs. It imports logging, whose fork handlers, were a thread to
    # register them while the program is being forked, would run unpaired in
    # the program's process and say so on its standard error: they are
    # registered first, here.
    import logging  # noqa: F401
    importing = threading.Thread(target=picture.prepare, daemon=True)
    importing.start()
    with tempfile.TemporaryDirectory() as folder:
        shaken = None
        if options.shake:
            progress(f"shaking {shown(name)} (Ctrl-C stops it, and shows the last run)", True)
            shaken = shake.shake(path, options, folder, interrupts, stdin, progress)
            recording = shaken.recording
            output.write(recording.output)  # the run shown, as it reached the terminal
        else:
            progress(f"tracing {shown(name)} (Ctrl-C stops it, and keeps what was recorded)", True)
            recording = record.record(path, options.args, options.speed, options.deadline, folder, output,
                                      interrupts, stdin)
        races = None
        if options.races and not interrupts.count:
            progress("running the program again, under Helgrind")
            again = stdin if isinstance(stdin, bytes) else "null"
            logs, stopped = record.race_run(path, options.args, options.speed, options.deadline, folder, again,
                                            interrupts)
            races = (helgrind.read_logs(logs), stopped, os.path.abspath(path))
        progress("reading the record")
        recorded = read.read(recording.folder, options.speed, os.path.abspath(path), progress)
        progress("analysing")
        run = analyse.analyse(recorded, recording, name, options.speed, races)
    progress("writing the trace and drawing")
    importing.join()  # no thread of this process is amid an import when it forks
    writing = Aside(f"{prefix}.json", lambda file: trace.write(file, run))
    try:
        written(f"{prefix}.png", lambda file: picture.draw(file, run, progress))
        report = table.report(run, options.deadline)
        writing.finish()
    finally:
        writing.close()
    progress("")
    if shaken is not None:
        report += shake.said(shaken, repeating(options))
    output.write("\n".join(report) + "\n")
    print(f"wrote {shown(prefix)}.json and {shown(prefix)}.png", file=sys.stderr)
    if output.error is not None:
        print(f"write error: {output.error.strerror}", file=sys.stderr)
        return 1
    if run.ending.how != "exited" or run.ending.value != 0 or (shaken is not None and (shaken.misbehaved or
                                                                                       shaken.stopped_by)):
        return 3
    return 4 if run.races else 0


def repeating(options: Options):
    """The tool's command line for a run like this one, as the user gave it,
    without --shake and --seed: [the tool, its options..., the program, its
    arguments...]."""
    found = [sys.argv[0] if sys.argv and sys.argv[0] else "tools/timeline.py"]
    if options.speed:
        found += ["--speed", f"{options.speed:g}"]
    if options.deadline != DEADLINE_SECONDS:
        found += ["--deadline", f"{options.deadline:g}"]
    if options.program in PROGRAMS and options.bin != BUILD:
        found += ["--bin", options.bin]
    return found + [options.program, *options.args]
