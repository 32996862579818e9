import collections, json, os, pwd, re, shutil, signal, stat, struct, subprocess, tempfile, time, unittest, zlib

from ptyrun import run as run_alone, texts

TOOL = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools", "timeline.py")
PROGRESS = re.compile(r"(Baker|Eater) (\d+) is (baking|eating) \d+ bun\.\.\.")
BAKERS_PNG = (1200, 45 + 11 * 40 + 20 + 200 + 50)  # the tool's frame, 11 lanes and the counter panel
HANG = re.compile(r"deadlock: every thread waits, and none can wake another \(after ([\d.]+) s\)")


class Traced:
    """One run of the tool by its own path, as a user would: its status, output,
    trace events and picture, how long it took, and the traced processes."""

    def __init__(self, program, *args, speed=10, options=(), signals=(), after=1.5, stdin=b""):
        path = program if os.sep in program else os.path.join(os.environ["PROGRAMS_DIR"], program)
        if program in ("gorvane", "lumbrick", "bakers", "fendrow"):
            path, options = program, ("--bin", os.environ["BIN_DIR"], *options)
        with tempfile.TemporaryDirectory() as folder:
            prefix = os.path.join(folder, "run")
            pace = ("--speed", str(speed)) if speed else ()
            command = [TOOL, *options, *pace, "--out", prefix, path, *args]
            start = time.monotonic()
            tool = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            if signals:
                time.sleep(after)
                for number in signals:  # signals to the tool, as from a terminal or a service manager
                    tool.send_signal(number)
                    time.sleep(0.2)
            out, err = tool.communicate(stdin, timeout=120)
            self.out, self.err = out.decode(errors="replace"), err.decode(errors="replace")
            self.seconds, self.status = time.monotonic() - start, tool.returncode
            if not os.path.exists(prefix + ".json"):
                raise AssertionError(f"timeline {program} wrote nothing: {self.err}")
            with open(prefix + ".json") as trace:
                whole = json.load(trace)
                self.events, self.races = whole["traceEvents"], whole.get("races")
            with open(prefix + ".png", "rb") as picture:
                self.png = picture.read()
        self.names = {(e["pid"], e["tid"]): e["args"]["name"] for e in self.events if e["name"] == "thread_name"}
        self.roles = {role: task for task, role in self.names.items()}
        self.spans = {role: [e for e in self.events if e["ph"] == "X" and self.names[(e["pid"], e["tid"])] == role]
                      for role in self.names.values()}
        # The program's own output comes first, as it was written; the table follows it.
        table = re.search(r"^thread +blocked s.*?(?=\n\n|\Z)", self.out, re.M | re.S)
        self.table = table[0].splitlines() if table else []

    def lines(self):
        """[(role, text)] of each line written, on its writer's track."""
        return [(self.names.get((e["pid"], e["tid"])), e["name"]) for e in self.events if e["ph"] == "i"
                and e.get("s") == "t"]

    def last_line(self):
        return next(line for line in reversed(self.out.splitlines()) if line.startswith("the program "))

    def program_lines(self):
        """The lines that the program wrote to the terminal, before the table."""
        return self.out[:self.out.index("thread ")].splitlines() if "thread " in self.out else []


def as_alone(test, program, *args, speed=10):
    """The program's lines under the tool, as a multiset, are its lines when it runs alone."""
    path = os.path.join(os.environ["PROGRAMS_DIR"], program)
    alone = run_alone(path, *args, stderr="terminal", speed=speed, timeout=60)
    traced = Traced(program, *args, speed=speed)
    test.assertEqual(collections.Counter(traced.program_lines()), collections.Counter(texts(alone)), program)
    test.assertEqual(traced.status, 0 if alone.status == 0 else 3, traced.err)
    return traced


def pixels(png):
    """A PNG picture's rows of (red, green, blue) pixels, as matplotlib writes it
    (8-bit RGBA, not interlaced)."""
    width, height = struct.unpack(">II", png[16:24])
    data, at = b"", 8
    while at < len(png):
        length, kind = struct.unpack(">I4s", png[at:at + 8])
        if kind == b"IDAT":
            data += png[at + 8:at + 8 + length]
        at += 12 + length
    raw, rows, stride = zlib.decompress(data), [], width * 4
    previous = bytearray(stride)
    for y in range(height):
        kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for x in range(stride):
            left = line[x - 4] if x >= 4 else 0
            up, corner = previous[x], previous[x - 4] if x >= 4 else 0
            if kind == 1:
                line[x] = (line[x] + left) & 255
            elif kind == 2:
                line[x] = (line[x] + up) & 255
            elif kind == 3:
                line[x] = (line[x] + (left + up) // 2) & 255
            elif kind == 4:
                line[x] = (line[x] + paeth(left, up, corner)) & 255
        rows.append([tuple(line[x:x + 3]) for x in range(0, stride, 4)])
        previous = line
    return rows


def paeth(left, up, corner):
    guess = left + up - corner
    near_left, near_up, near_corner = abs(guess - left), abs(guess - up), abs(guess - corner)
    if near_left <= near_up and near_left <= near_corner:
        return left
    return up if near_up <= near_corner else corner


def flows_run_forward(test, run, calls):
    """Every flow starts inside a releasing call and ends later inside a wait
    on the same object; calls: {releasing call: (wait, key of the object in args)}."""
    flows = {}
    for e in run.events:
        if e["ph"] in "sf":
            flows.setdefault(e["id"], {})[e["ph"]] = e

    def inside(event, names, key):
        return any(s["name"] in names and s["args"].get(key) == event["name"]
                   and s["ts"] <= event["ts"] <= s["ts"] + s["dur"]
                   for s in run.spans[run.names[(event["pid"], event["tid"])]])

    test.assertTrue(flows)
    for flow in flows.values():
        start, end = flow["s"], flow["f"]
        test.assertEqual((start["name"], start["cat"], end.get("bp")), (end["name"], "wake", "e"))
        test.assertLess(start["ts"], end["ts"])
        releases = [name for name, (_, key) in calls.items() if inside(start, {name}, key)]
        test.assertTrue(releases, start)
        wait, key = calls[releases[0]]
        test.assertTrue(inside(end, {wait}, key), flow)
        # The wait had begun when the release came: a flow never reaches a wait that began after it.
        waits = [w for w in run.spans[run.names[(end["pid"], end["tid"])]] if w["name"] == wait
                 and w["args"].get(key) == end["name"] and w["ts"] <= end["ts"] <= w["ts"] + w["dur"]]
        test.assertTrue(any(w["ts"] < start["ts"] for w in waits), flow)
    return flows


def left(pids, program):
    """Those of the traced processes that are still there, by process id."""
    found = []
    for pid in pids:
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as cmdline:
                if program.encode() in cmdline.read():
                    found.append(pid)
        except OSError:  # gone
            pass
    return found


class Bakers(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.day = Traced("bakers", speed=20)

    def test_eleven_tracks_in_order(self):
        roles = ["main"] + [f"Baker {n}" for n in (1, 2, 3)] + [f"Eater {n}" for n in range(1, 8)]
        order = {(e["pid"], e["tid"]): e["args"]["sort_index"] for e in self.day.events
                 if e["name"] == "thread_sort_index"}
        self.assertEqual([self.day.names[task] for task in sorted(self.day.names, key=order.get)], roles)
        self.assertEqual([line.split("  ")[0] for line in self.day.table[1:12]], roles)
        self.assertEqual((self.day.status, self.day.last_line()), (0, "the program exited with status 0"))

    def test_each_worker_waits_and_sleeps_its_quota(self):
        for role, semaphore, turns, seconds in ([(f"Baker {n}", "freePlace", 7, 6) for n in (1, 2, 3)]
                                                + [(f"Eater {n}", "bun", 3, 3) for n in range(1, 8)]):
            with self.subTest(role=role):
                spans = self.day.spans[role]
                waits = [s for s in spans if s["name"] == "sem_wait"]
                sleeps = [s for s in spans if s["name"] == "sleep"]
                self.assertEqual([w["args"] for w in waits], [{"semaphore": semaphore}] * turns)
                self.assertEqual([s["args"] for s in sleeps], [{"seconds": seconds}] * turns)
                for sleep in sleeps:  # compressed 20 times, 25 ms late in real time is 0.5 s
                    self.assertAlmostEqual(sleep["dur"] / 1e6, seconds, delta=0.5)

    def test_counters_stay_within_the_counter(self):
        for name, first, last in (("bun", 0, 0), ("freePlace", 3, 3)):
            values = [e["args"]["value"] for e in self.day.events if e["ph"] == "C" and e["name"] == name]
            self.assertEqual((values[0], values[-1]), (first, last), name)
            self.assertTrue(all(0 <= v <= 3 for v in values), name)

    def test_progress_lines_are_on_their_workers_tracks(self):
        lines = [(m, role) for role, text in self.day.lines() if (m := PROGRESS.fullmatch(text))]
        self.assertEqual(len(lines), 42)
        for m, role in lines:
            self.assertEqual(role, f"{m[1]} {m[2]}", m[0])

    def test_flows_run_forward_from_a_post_to_a_wait(self):
        flows = flows_run_forward(self, self.day, {"sem_post": ("sem_wait", "semaphore")})
        # Every eater's wait blocks, and every baker's but the first three.
        self.assertEqual(sorted(f["s"]["name"] for f in flows.values()), ["bun"] * 21 + ["freePlace"] * 18)

    def test_picture(self):
        self.assertEqual(self.day.png[:8], b"\x89PNG\r\n\x1a\n")
        self.assertEqual(struct.unpack(">II", self.day.png[16:24]), BAKERS_PNG)


class Others(unittest.TestCase):
    def test_gorvane_joins_after_the_workers_sleep(self):
        run = Traced("gorvane", speed=None, options=("--speed=10",))  # the option's value after "=" too
        (join,) = [s for s in run.spans["main"] if s["name"] == "pthread_join"]
        (sleep,) = [s for s in run.spans["worker"] if s["name"] == "sleep"]
        self.assertEqual(join["args"], {"thread": "worker"})
        self.assertAlmostEqual(join["dur"] / 1e6, 5, delta=0.5)  # 50 ms of real time at ten times the pace
        self.assertGreaterEqual(join["ts"] + join["dur"], sleep["ts"] + sleep["dur"])
        # A sleep is not a wait: the worker slept 5 s and was blocked for none of them.
        rows = {line.split()[0]: line.split()[1:] for line in run.table[1:]}
        self.assertEqual(rows["worker"][:3], ["0.0", "5.0", "0"])
        self.assertGreaterEqual(float(rows["main"][0]), 4.5)
        # The picture draws the tracks in their order, main on top: its lane is in the join, the worker's sleeps.
        picture = pixels(run.png)
        middle = len(picture[0]) // 2
        lanes = [picture[45 + 40 * lane + 20][middle] for lane in (0, 1)]
        self.assertEqual(lanes, [(0x7B, 0x2C, 0xBF), (0x8E, 0xCA, 0xE6)])

    def test_fendrow_parent_and_child_processes(self):
        run = Traced("fendrow", speed=10)
        self.assertEqual(sorted(run.names.values()), ["child", "parent"])
        self.assertEqual(len({pid for pid, _ in run.names}), 2)
        (sleep,) = [s for s in run.spans["parent"] if s["name"] == "sleep"]
        self.assertEqual(sleep["args"], {"seconds": 2})
        self.assertAlmostEqual(sleep["dur"] / 1e6, 2, delta=0.5)

    def test_what_cannot_be_traced_is_said_in_one_line(self):
        with tempfile.TemporaryDirectory() as empty:
            script = os.path.join(empty, "script")
            with open(script, "w") as text:
                text.write("#!/bin/sh\n")
            os.chmod(script, 0o755)
            for args, said, status in ((["--bin", empty, "gorvane"], "gorvane is not built", 1),
                                       ([os.path.join(empty, "nothing")], "is not an executable file", 1),
                                       ([script], "is not a 64-bit ELF program", 1),
                                       (["--speed", "0", "gorvane"], "--speed: 0 is not a number above 0", 2)):
                with self.subTest(args=args):
                    done = subprocess.run([TOOL, *args], capture_output=True, text=True, cwd=empty)
                    self.assertEqual(done.returncode, status)
                    self.assertIn(said, done.stderr.splitlines()[-1])
                    self.assertTrue(status == 2 or len(done.stderr.splitlines()) == 1, done.stderr)

    def test_bad_arguments_and_files_are_one_line_each(self):
        gorvane = ("--bin", os.environ["BIN_DIR"], "gorvane")
        with tempfile.TemporaryDirectory() as empty:
            cut = os.path.join(empty, "cut")
            with open(cut, "wb") as short:
                short.write(b"\x7fELF\x02\x01\x01")  # an ELF program cut short
            os.chmod(cut, 0o755)
            odd = os.fsencode(os.path.join(empty, "caf\xe9")) + b"\xff"  # a name that is not UTF-8
            with open(odd, "wb") as other:
                other.write(b"#!/bin/sh\n")
            os.chmod(odd, 0o755)
            os.mkdir(os.path.join(empty, "taken.json"))
            cases = [(["--speed", value, *gorvane], 2, "--speed") for value in ("inf", "nan", "1e300", "-1")]
            cases += [(["--deadline", "nan", *gorvane], 2, "--deadline"), ([cut], 1, "is not a whole ELF program"),
                      ([odd], 1, "is not a 64-bit ELF program"),
                      (["--out", "/proc/run", *gorvane], 1, "cannot be written to"),
                      (["--out", os.path.join(empty, "taken"), *gorvane], 1, "taken.json is a folder")]
            for args, status, said in cases:
                with self.subTest(args=args):
                    done = subprocess.run([os.fsencode(TOOL), *map(os.fsencode, args)], capture_output=True,
                                          cwd=empty)
                    err = done.stderr.decode(errors="replace")
                    self.assertEqual(done.returncode, status, err)
                    self.assertIn(said, err.splitlines()[-1])
                    self.assertNotIn("Traceback", err)
                    self.assertTrue(status == 2 or len(err.splitlines()) == 1, err)

    def test_output_that_cannot_be_written_is_said(self):
        for where, reason in (("/dev/full", "No space left on device"), (None, "Bad file descriptor")):
            with self.subTest(output=where), tempfile.TemporaryDirectory() as folder:
                prefix = os.path.join(folder, "run")
                command = [TOOL, "--speed", "10", "--bin", os.environ["BIN_DIR"], "--out", prefix, "lumbrick"]
                if where:
                    with open(where, "w") as full:
                        done = subprocess.run(command, stdout=full, stderr=subprocess.PIPE, text=True)
                else:
                    done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                          preexec_fn=lambda: os.close(1))
                self.assertEqual(done.returncode, 1, done.stderr)
                self.assertEqual(done.stderr.splitlines()[-1], f"write error: {reason}")
                self.assertNotIn("Traceback", done.stderr)
                with open(prefix + ".json") as trace:  # the files are written all the same
                    json.load(trace)

    def test_two_runs_with_one_prefix_leave_whole_files(self):
        with tempfile.TemporaryDirectory() as folder:
            prefix = os.path.join(folder, "run")
            command = [TOOL, "--speed", "10", "--bin", os.environ["BIN_DIR"], "--out", prefix, "lumbrick"]
            tools = [subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                     for _ in range(2)]
            self.assertEqual([tool.wait(timeout=60) for tool in tools], [0, 0])
            with open(prefix + ".json") as trace:
                json.load(trace)
            with open(prefix + ".png", "rb") as picture:
                self.assertEqual(picture.read()[:4], b"\x89PNG")
            self.assertEqual(sorted(os.listdir(folder)), ["run.json", "run.png"])
            self.assertEqual(stat.S_IMODE(os.stat(prefix + ".json").st_mode) & 0o044, 0o044)


class Programs(unittest.TestCase):
    def test_producer_and_consumers(self):
        run = Traced("prodcons")
        self.assertEqual(list(run.names.values()), ["main", "producer", "consumer 1", "consumer 2", "consumer 3"])
        joins = [s["args"]["thread"] for s in run.spans["main"] if s["name"] == "pthread_join"]
        self.assertEqual(joins, ["producer", "consumer 1", "consumer 2", "consumer 3"])
        waits = {tuple(sorted(s["args"].items())) for s in run.events if s.get("name") == "pthread_cond_wait"}
        self.assertEqual(waits, {(("cond", "notEmpty"), ("mutex", "m")), (("cond", "notFull"), ("mutex", "m"))})
        flows_run_forward(self, run, {"pthread_cond_signal": ("pthread_cond_wait", "cond"),
                                      "pthread_mutex_unlock": ("pthread_mutex_lock", "mutex"),
                                      "pthread_cond_wait": ("pthread_mutex_lock", "mutex")})
        for role, text in run.lines():
            self.assertEqual(role, "producer" if text.startswith("produced") else
                             f"consumer {text.split()[1]}" if text.startswith("consumer") else "main", text)
        # The mutex has one holder at a time, and each hold is on the holder's own thread.
        holds = sorted((e["ts"], e["ph"], e) for e in run.events if e.get("cat") == "lock")
        self.assertEqual({e["name"] for _, _, e in holds}, {"m"})
        holder = None
        for _, phase, event in holds:
            if phase == "b":
                self.assertIsNone(holder, event)
                holder = event
                self.assertEqual(event["args"]["holder"], run.names[(event["pid"], event["tid"])])
            else:
                self.assertEqual((event["pid"], event["tid"]), (holder["pid"], holder["tid"]))
                holder = None

    def test_philosophers_name_each_fork(self):
        run = Traced("philosophers")
        self.assertEqual(list(run.names.values()), ["main"] + [f"philosopher {n}" for n in range(1, 6)])
        forks = {s["args"]["semaphore"] for s in run.events if s.get("name") == "sem_wait"}
        self.assertEqual(forks, {f"forks[{n}]" for n in range(5)})
        counters = {e["name"] for e in run.events if e["ph"] == "C"}
        self.assertEqual(counters, forks)
        flows_run_forward(self, run, {"sem_post": ("sem_wait", "semaphore")})
        self.assertRegex(run.out, r"\nforks\[4\] +semaphore +\d+ ")

    def test_a_parent_waits_for_each_child(self):
        run = Traced("forker")
        self.assertEqual(sorted(run.names.values()), ["child 1", "child 2", "parent"])
        waits = [s["args"] for s in run.spans["parent"] if s["name"] == "waitpid"]
        self.assertEqual(waits, [{"process": "child 1"}, {"process": "child 2"}])
        self.assertEqual(sorted(run.lines()), [("child 1", "child 1 done"), ("child 2", "child 2 done"),
                                               ("parent", "collected child 1: status 1"),
                                               ("parent", "collected child 2: status 2")])

    def test_lines_are_what_reached_the_terminal(self):
        run = Traced("printing")
        lines = run.lines()
        self.assertEqual(lines, [("main", "first"), ("main", "a string and  1.50"), ("main", "written with write"),
                                 ("main", "to standard error 7"), ("worker", " 2.50 from the worker")])
        self.assertEqual((run.status, run.err.count("warning")), (0, 0), run.err)

    def test_a_failed_run_is_traced_and_said(self):
        for program, ended in (("fails", "the program exited with status 1"),
                               ("crashes", "the program was killed by signal 11 (Segmentation fault)")):
            with self.subTest(program=program):
                run = Traced(program)
                self.assertEqual((run.status, run.last_line()), (3, ended))
                self.assertEqual(run.png[:4], b"\x89PNG")
                self.assertEqual(run.lines(), [("main", "giving up" if program == "fails" else "about to crash")])


def holds_overlap_waits(test, run, mutex):
    """No hold of the mutex overlaps a condition wait of its holder with it:
    the wait gives the mutex up."""
    holds, begun = [], {}
    for e in sorted((e for e in run.events if e.get("cat") == "lock" and e["name"] == mutex), key=lambda e: e["ts"]):
        if e["ph"] == "b":
            begun = e
        else:
            holds.append((begun["ts"], e["ts"], run.names[(e["pid"], e["tid"])]))
    waits = [(s["ts"], s["ts"] + s["dur"], role) for role, spans in run.spans.items() for s in spans
             if s["args"].get("mutex") == mutex and "cond" in s["args"]]
    test.assertTrue(waits)
    for start, end, role in holds:
        for wait_start, wait_end, waiter in waits:
            test.assertFalse(waiter == role and start < wait_end - 1 and wait_start + 1 < end,
                             (role, start, end, wait_start, wait_end))


class Hostile(unittest.TestCase):
    """Programs that do what they like: a daemon, a timer, a crash with waits
    in flight, input, a group killed, a program that stops itself, and lines
    written every way; the tool stays true to each, and leaves nothing."""

    def test_objects_in_structures(self):
        run = Traced("control")
        named = {value for e in run.events if e["ph"] == "X" for value in e["args"].values()
                 if isinstance(value, str)}
        self.assertLessEqual({"data[3].lock", "control.m", "control.cond", "after"}, named)
        self.assertEqual(run.lines(), [("main", "slot 3 counted 2000")])
        # On the heap, the only mutex and the only condition are named as the code names them.
        run = Traced("workqueue")
        waits = {json.dumps(e["args"], sort_keys=True) for e in run.events if e.get("name") == "pthread_cond_wait"}
        self.assertLessEqual(waits, {json.dumps({"cond": "q->ready", "mutex": "q->lock"}, sort_keys=True)})
        self.assertEqual([line.split()[:2] for line in run.out.splitlines() if line.startswith("q->")],
                         [["q->lock", "mutex"], ["q->ready", "cond"]])

    def test_calls_in_flight_when_a_thread_crashes(self):
        run = Traced("inflight")
        self.assertEqual((run.status, run.last_line()), (3, "the program was killed by signal 11 (Segmentation fault)"))
        unfinished = {(run.names[(e["pid"], e["tid"])], e["name"], json.dumps(e["args"], sort_keys=True))
                      for e in run.events if e["ph"] == "X" and e["args"].get("unfinished")}
        self.assertEqual(unfinished, {
            ("main", "pthread_join", '{"thread": "crasher", "unfinished": true}'),
            ("waiter", "pthread_cond_wait", '{"cond": "never", "mutex": "m", "unfinished": true}'),
            ("poster", "sem_wait", '{"semaphore": "none", "unfinished": true}')})
        (crash,) = [s for s in run.spans["crasher"] if s["name"] == "usleep"]
        for role in ("main", "waiter", "poster"):  # waiting until the crash, not done
            (wait,) = [s for s in run.spans[role] if s["args"].get("unfinished")]
            self.assertLess(wait["ts"], crash["ts"] + crash["dur"])
            self.assertGreaterEqual(wait["ts"] + wait["dur"], crash["ts"] + crash["dur"])

    def test_input_reaches_the_program(self):
        run = Traced("reader", stdin=b"3\n4\n")
        self.assertEqual(run.lines(), [("main", "read 3, total 3"), ("main", "read 4, total 7"),
                                       ("main", "end of input")])
        self.assertEqual(run.status, 0)
        # The program's own output shows as it is written, and the table after it.
        self.assertLess(run.out.index("end of input"), run.out.index("thread "))
        self.assertEqual([s["name"] for s in run.spans["main"]].count("scanf"), 3)
        # Input that comes late, through a pipe that another program holds open, is waited for: no hang.
        with tempfile.TemporaryDirectory() as folder:
            reading, writing = os.pipe()
            tool = subprocess.Popen([TOOL, "--out", os.path.join(folder, "run"),
                                     os.path.join(os.environ["PROGRAMS_DIR"], "reader")],
                                    stdin=reading, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            os.close(reading)
            time.sleep(3)
            os.write(writing, b"5\n")
            os.close(writing)
            out = tool.communicate(timeout=60)[0].decode()
            self.assertEqual(tool.returncode, 0, out)
            self.assertIn("read 5, total 5", out)

    def test_lines_of_every_writer(self):
        run = Traced("writers")
        self.assertEqual(sorted(run.names.values()), ["child 1 (echo)", "child 2 (dash)", "child 3 (echo)", "parent"])
        self.assertEqual(run.lines(), [("parent", "unlocked"), ("parent", "bytes \\xff\\xfe end"),
                                       ("parent", "nul \x00 here"), ("child 1 (echo)", "from exec"),
                                       ("child 2 (dash)", "from system"), ("child 3 (echo)", "from spawn"),
                                       ("parent", "last")])
        self.assertNotIn("not whole", run.out)
        self.assertEqual(run.status, 0)
        # Lines written once standard output and error were sent elsewhere are not missing from the record.
        run = Traced("quiet")
        self.assertEqual(run.lines(), [("main", "loud"), ("main", "loud on stderr")])
        self.assertEqual((run.status, run.err.count("warning")), (0, 0), run.err)

    def test_threads_that_a_library_makes(self):
        if not os.path.exists(os.path.join(os.environ["PROGRAMS_DIR"], "teams")):
            self.skipTest("built without OpenMP")
        run = Traced("teams")  # OpenMP's threads run a routine that libgomp keeps to itself
        self.assertEqual(list(run.names.values()), ["main", "libgomp thread 1", "libgomp thread 2"])
        self.assertEqual(sorted(run.lines()), [("libgomp thread 1", "hello from 1"),
                                               ("libgomp thread 2", "hello from 2"),
                                               ("main", "hello from 0"), ("main", "sum 899997")])

    def test_the_ending_is_the_programs_own(self):
        run = Traced("killgroup")
        self.assertEqual((run.status, run.last_line()), (3, "the program was killed by signal 15 (Terminated)"))

    def test_a_timer_can_wake_the_waiters(self):
        run = Traced("ticker")
        self.assertEqual((run.status, run.last_line()), (0, "the program exited with status 0"))
        waits = [role for role, spans in run.spans.items() for s in spans if s["name"] == "sem_wait"]
        self.assertEqual(sorted(waits), [f"waiter {n}" for n in range(1, 6)])

    def test_a_daemon_is_stopped_with_the_run(self):
        run = Traced("daemon", options=("--deadline", "5"))
        self.assertEqual(run.status, 3)
        self.assertRegex(run.out, r"\nthe tool stopped 1 process: child 2 \(daemon, pid \d+\)\n")
        self.assertLess(run.seconds, 5 / 10 + 10)
        self.assertEqual(left({pid for pid, _ in run.names}, "daemon"), [])

    def test_a_child_in_a_session_of_its_own_is_waited_for(self):
        run = Traced("session", speed=None)  # the child sleeps 1.5 s of real time while the parent waits
        self.assertEqual((run.status, run.last_line()), (0, "the program exited with status 0"))
        self.assertEqual(sorted(run.lines()), [("child", "child done"), ("parent", "parent done")])

    def test_floating_point_work_in_threads_runs_as_alone(self):
        run = Traced("libmath")  # pow in a thread, whose result the program checks
        self.assertEqual((run.status, run.last_line()), (0, "the program exited with status 0"))
        self.assertEqual(run.lines(), [("main", "right")])
        self.assertNotIn("warning", run.out + run.err)

    def test_a_long_run_is_cut_in_the_middle(self):
        # 3,000,000 calls, more than the tool reads, in two bursts with a rest between them: the
        # parts read hold the calls' first and last 1,250,000, not the run's first and last seconds.
        run = Traced("semloop", "750000", "30")
        self.assertEqual(run.status, 0)
        self.assertRegex(run.out, r"\nthe run is cut: of its [\d,]+ calls or so, the tool reads those of its "
                                  r"first [\d.]+ s and of its last from [\d.]+ s on, at most 2,500,000")
        marks = [e["name"] for e in run.events if e.get("s") == "g"]
        self.assertEqual(marks, ["left out from here", "left out until here"])
        self.assertLessEqual(sum(e["ph"] == "X" for e in run.events), 2500010)  # and the calls in flight at the cut
        # Both parts hold every thread: main's first join began in the first part and ended in the last,
        # as it did; its second began in the last.
        cut = [e["ts"] for e in run.events if e.get("s") == "g"]
        joins = [(s["ts"], s["ts"] + s["dur"]) for s in run.spans["main"] if s["name"] == "pthread_join"]
        self.assertEqual(len(joins), 2)
        self.assertLess(joins[0][0], cut[0])
        self.assertGreater(joins[0][1], cut[1])
        self.assertGreater(joins[1][0], cut[1])
        self.assertEqual(run.lines(), [("main", "750000 rounds each")])
        self.assertNotIn("warning", run.err)

    def test_much_output_in_one_call(self):
        run = Traced("flood", speed=None)  # 20 MB in one fwrite
        self.assertEqual(run.status, 0)
        self.assertIn("\nthe output is cut: the trace keeps its first 100,000 lines", run.out)
        lines = run.lines()
        self.assertEqual((len(lines), lines[0][0], lines[-1][1][:11]), (100000, "main", "line 99999."))
        self.assertLess(run.seconds, 60)

    def test_odd_arguments_and_no_standard_error(self):
        with tempfile.TemporaryDirectory() as folder:
            prefix = os.path.join(folder, "run")
            done = subprocess.run([TOOL, "--out", prefix, os.path.join(os.environ["PROGRAMS_DIR"], "reader"),
                                   b"\xe9t\xe9"], capture_output=True, stdin=subprocess.DEVNULL)
            self.assertEqual(done.returncode, 0, done.stderr)
            self.assertNotIn(b"error", done.stderr)
            # Without standard error the tool works all the same, saying nothing.
            os.unlink(prefix + ".json")
            done = subprocess.run([TOOL, "--out", prefix, os.path.join(os.environ["PROGRAMS_DIR"], "reader")],
                                  stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, preexec_fn=lambda: os.close(2))
            self.assertEqual(done.returncode, 0)
            with open(prefix + ".json") as trace:
                json.load(trace)

    def test_much_output_is_cut_after_its_first_lines(self):
        run = Traced("chatter", speed=None)  # 150,000 lines, more than the trace keeps
        self.assertEqual(run.status, 0)
        self.assertEqual(run.out.count("\n"), 150000 + len(run.table) + 3)  # all reached the terminal
        self.assertIn("\nthe output is cut: the trace keeps its first 100,000 lines, and leaves out the ", run.out)
        lines = run.lines()
        self.assertEqual((len(lines), lines[-1]), (100000, ("main", "line 99999")))
        self.assertNotIn("warning", run.out + run.err)

    def test_many_threads_are_all_traced_and_the_first_drawn(self):
        run = Traced("crowd", speed=None)  # 200 threads
        self.assertEqual(run.status, 0)
        self.assertEqual(len(run.names), 201)
        self.assertEqual(struct.unpack(">II", run.png[16:24]), (1200, 45 + 150 * 40 + 50))  # 150 lanes

    def test_long_names_leave_the_lanes_their_width(self):
        run = Traced("longnames", speed=None)
        self.assertIn("bank_teller_depositing_customer_payments_into_the_account 3", run.names.values())
        picture = pixels(run.png)
        # main's lane runs across the plot: most of the picture, not what the names leave of it.
        self.assertGreater(sum(pixel != (255, 255, 255) for pixel in picture[45 + 20]), 500)
        # Nothing is cut at the edges: the legends fit inside the picture.
        self.assertEqual({pixel for row in picture for pixel in row[-3:] + row[:3]}, {(255, 255, 255)})

    def test_a_program_that_stops_itself(self):
        run = Traced("stopper")
        self.assertEqual((run.status, run.last_line()[:39]), (3, "the program was stopped by a signal, an"))
        self.assertEqual(left({pid for pid, _ in run.names}, "stopper"), [])


RACE = re.compile(r"data race on (.+?): (\S.*?) (reads|writes) at (\S+):(\d+) holding (.+?); "
                  r"(\S.*?) (reads|writes) at (\S+):(\d+) holding (.+?) \((once|\d+ times)\)")


def said_races(run):
    """{object: ((thread, reads or writes, file name, line, locks), (...), how often)} from the tool's words."""
    found = {}
    for line in run.out.splitlines():
        m = RACE.fullmatch(line)
        if m:
            found[m[1]] = ((m[2], m[3], os.path.basename(m[4]), int(m[5]), m[6]),
                           (m[7], m[8], os.path.basename(m[9]), int(m[10]), m[11]), m[12])
    return found


def still_running(path):
    """Processes left running this program, under Valgrind or not: orphans,
    whose parent is gone (other tests of the suite run the same program)."""
    found = []
    for entry in os.listdir("/proc"):
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as cmdline:
                named = os.fsencode(path) in cmdline.read().split(b"\0")
            with open(f"/proc/{entry}/stat") as stat_file:
                parent = int(stat_file.read().rsplit(")", 1)[1].split()[1])
            if named and parent == 1:
                found.append(int(entry))
        except (OSError, ValueError, IndexError):
            pass
    return found


class Races(unittest.TestCase):
    """--races: Helgrind's data races in the trace's words; none where there is none."""

    def races(self, program, *options, speed=10):
        run = Traced(program, speed=speed, options=("--races", *options))
        # By the path the program runs from: a tool's command line that names bakers is not the program.
        path = os.path.join(os.environ["PROGRAMS_DIR"] if program != "bakers" else os.environ["BIN_DIR"], program)
        self.assertEqual(still_running(path), [])
        return run

    def test_races_in_c(self):
        run = self.races("racy")
        block = "a block of 8 bytes allocated at " + os.path.relpath(
            os.path.join(os.path.dirname(TOOL), "..", "tests", "programs", "racy.c")) + ":52"
        self.assertEqual(said_races(run), {
            "counter": (("adder 1", "writes", "racy.c", 29, "no lock"),
                        ("adder 2", "writes", "racy.c", 29, "no lock"), "2 times"),
            "bank.balance": (("adder 1", "writes", "racy.c", 33, "bankLock"),
                             ("adder 2", "reads", "racy.c", 37, "no lock"), "once"),
            "slots[3]": (("adder 1", "writes", "racy.c", 34, "bankLock"),
                         ("adder 2", "reads", "racy.c", 37, "no lock"), "once"),
            block: (("main", "writes", "racy.c", 57, "no lock"), ("reader", "reads", "racy.c", 46, "no lock"), "once")})
        self.assertEqual(run.out.splitlines()[-1], "4 data races")
        self.assertEqual(run.status, 4)
        races = {race["object"]: race for race in run.races}
        self.assertEqual(races["counter"]["count"], 2)
        self.assertEqual(races["bank.balance"]["accesses"],
                         [{"thread": "adder 1", "access": "write", "file": races["bank.balance"]["accesses"][0]["file"],
                           "line": 33, "locks": ["bankLock"]},
                          {"thread": "adder 2", "access": "read", "file": races["bank.balance"]["accesses"][1]["file"],
                           "line": 37, "locks": []}])

    def test_races_in_cxx(self):
        for program in ("racyxx", "racyxx-O2"):
            with self.subTest(program=program):
                run = self.races(program)
                found = said_races(run)
                self.assertEqual(sorted(found), ["gauge.peak", "payload", "ready"])
                self.assertEqual(found["gauge.peak"][:2], (("main", "writes", "racyxx.cpp", 35, "no lock"),
                                                           ("watch", "reads", "racyxx.cpp", 26, "no lock")))
                self.assertEqual(found["ready"][1][:4], ("consume", "reads", "racyxx.cpp", 18))
                self.assertEqual(run.status, 4)

    def test_a_crash_says_its_races_too(self):
        run = self.races("racecrash")
        self.assertEqual(sorted(said_races(run)), ["total"])
        self.assertEqual(run.status, 3)

    def test_no_false_alarm(self):
        # Helgrind cannot see atomics' orderings, nor futex waits: the threads that may use them are named,
        # whether or not the trace shows them wait (here each hand-off is ready before main waits for it).
        unseen = {"tidy": "parent and worker, which hand data over through atomic loads and stores",
                  "handoffs": "main, countdown, promiser and releaser, which use C++20 semaphores, latches, barriers, "
                              "atomic waits or futures"}
        for program, speed in (("tidy", 10), ("tidyxx", 10), ("tidyxx-O2", 10), ("handoffs", 10),
                               ("handoffs-O2", 10), ("bakers", 20)):
            with self.subTest(program=program):
                run = self.races(program, speed=speed)
                self.assertEqual(run.out.splitlines()[-1], "no data race")
                self.assertEqual((run.races, run.status), ([], 0))
                self.assertFalse(said_races(run))
                if program.split("-")[0] in unseen:
                    self.assertIn(f"\nnot checked for races: {unseen[program.split('-')[0]]}, whose ", run.out)
                elif program == "bakers":
                    self.assertNotIn("not checked", run.out)

    def test_a_hang_or_a_deadline_ends_helgrind_too(self):
        # The traced run hangs, and so does Helgrind's: each is stopped within seconds.
        run = self.races("lockorder")
        self.assertEqual(run.status, 3)
        self.assertLess(run.seconds, 30)
        self.assertEqual(run.out.splitlines()[-2:], ["the run under Helgrind hung, and was stopped: the races of "
                                                     "its part that ran are said", "no data race"])
        run = self.races("sleeper", "--deadline", "5")
        self.assertLess(run.seconds, 30)
        self.assertIn("the run under Helgrind reached the deadline: the races of its part that ran are said\n",
                      run.out)

    def test_without_valgrind(self):
        with tempfile.TemporaryDirectory() as bare:
            for tool in ("eu-stack", "eu-addr2line", "cc", "gcc", "nm"):
                found = shutil.which(tool)
                if found:
                    os.symlink(found, os.path.join(bare, tool))
            done = subprocess.run([TOOL, "--races", os.path.join(os.environ["PROGRAMS_DIR"], "racy")],
                                  capture_output=True, text=True, env=dict(os.environ, PATH=bare), cwd=bare)
            self.assertEqual(done.returncode, 1, done.stderr)
            self.assertIn("apt-get install valgrind", done.stderr.splitlines()[-1])


class Cxx(unittest.TestCase):
    """C++ programs, each unoptimised and optimised (-O2): threads named by
    what they run, the library's waits on their objects by their names."""

    def test_bounded_buffer(self):
        for program in ("buffer", "buffer-O2"):
            with self.subTest(program=program):
                run = Traced(program)
                self.assertEqual(list(run.names.values()), ["main", "producer", "consumer 1", "consumer 2"])
                joins = [s["args"] for s in run.spans["main"] if s["name"] == "std::thread::join"]
                self.assertEqual(joins, [{"thread": t} for t in ("producer", "consumer 1", "consumer 2")])
                waits = {json.dumps(s["args"], sort_keys=True) for s in run.events
                         if s.get("name") == "std::condition_variable::wait"}
                self.assertEqual(waits, {json.dumps({"cond": f"buffer.{c}", "mutex": "buffer.m"}, sort_keys=True)
                                         for c in ("notEmpty", "notFull")})
                flows_run_forward(self, run, {"std::condition_variable::notify_one":
                                              ("std::condition_variable::wait", "cond"),
                                              "std::mutex::unlock": ("std::mutex::lock", "mutex"),
                                              "std::condition_variable::wait": ("std::mutex::lock", "mutex")})
                holds_overlap_waits(self, run, "buffer.m")
                for role, text in run.lines():  # std::endl, '\n' and the end of the run
                    self.assertEqual(role, "producer" if text.startswith("produced") else
                                     f"consumer {text.split()[1]}" if text.startswith("consumer") else "main", text)
                self.assertEqual(len(run.lines()), 17)
                self.assertEqual((run.status, run.err.count("warning")), (0, 0), run.err)

    def test_threads_in_a_vector_that_grew(self):
        for program in ("crew", "crew-O2"):
            with self.subTest(program=program):
                run = Traced(program)
                crew = [f"member {n}" for n in range(1, 6)]
                self.assertEqual(list(run.names.values()), ["main", *crew])
                joins = [s["args"] for s in run.spans["main"] if s["name"] == "std::thread::join"]
                self.assertEqual(joins, [{"thread": member} for member in crew])

    def test_semaphore_latch_and_barrier(self):
        for program in ("cxx20", "cxx20-O2"):
            with self.subTest(program=program):
                run = Traced(program)
                self.assertEqual(list(run.names.values()), ["main", "lambda in main 1", "lambda in main 2"]
                                 + [f"worker {n}" for n in range(1, 5)])
                kinds = {(s["name"], json.dumps(s["args"])) for s in run.events if s["ph"] == "X"
                         and s["name"].startswith(("std::counting", "std::latch", "std::barrier"))}
                self.assertLessEqual({("std::counting_semaphore::acquire", '{"semaphore": "places"}'),
                                      ("std::latch::wait", '{"latch": "done"}'),
                                      ("std::barrier::wait", '{"barrier": "phase"}')}, kinds)
                flows = flows_run_forward(self, run, {
                    "std::counting_semaphore::release": ("std::counting_semaphore::acquire", "semaphore"),
                    "std::latch::count_down": ("std::latch::wait", "latch"),
                    "std::barrier::arrive": ("std::barrier::wait", "barrier")})
                # Two workers wait for a place (which two is the scheduler's choice); each takes the
                # unit that a release of another worker gave.
                waited = sorted(role for role, spans in run.spans.items() for s in spans
                                if s["name"] == "std::counting_semaphore::acquire")
                places = [f for f in flows.values() if f["s"]["name"] == "places"]
                self.assertEqual(len(waited), 2)
                self.assertEqual(sorted(run.names[(f["f"]["pid"], f["f"]["tid"])] for f in places), waited)
                (done,) = [f for f in flows.values() if f["s"]["name"] == "done"]
                self.assertEqual(run.names[(done["f"]["pid"], done["f"]["tid"])], "main")
                self.assertIn("\ndone        latch", run.out)

    def test_futures_members_and_shared_locks(self):
        for program in ("library", "library-O2"):
            with self.subTest(program=program):
                run = Traced(program)
                self.assertEqual(sorted(run.names.values()),
                                 sorted(["main", "square", "lambda in main at line 59", "Account::deposit", "reader",
                                         "lambda in main at line 65"]))
                waits = [s["args"] for s in run.spans["main"] if s["name"] == "std::future::wait"]
                self.assertIn({"future": "future of square", "thread": "square"}, waits)
                self.assertIn({"future": "handed"}, waits)  # std::future<int> handed = promised.get_future()
                flows = flows_run_forward(self, run, {"std::async task": ("std::future::wait", "future"),
                                                      "std::promise::set_value": ("std::future::wait", "future"),
                                                      "std::condition_variable::notify_all":
                                                      ("std::condition_variable_any::wait", "cond")})
                self.assertEqual({f["s"]["name"] for f in flows.values()},
                                 {"future of square", "handed", "table.changed"})
                (wait,) = [s["args"] for s in run.spans["reader"] if s["name"].endswith("::wait")]
                self.assertEqual(wait, {"cond": "table.changed", "rwlock": "table.lock"})
                mutexes = {s["args"]["mutex"] for s in run.events if s["ph"] == "X" and "mutex" in s["args"]}
                self.assertEqual(mutexes, {"accounts[1].m", "accounts[2].m", "audit", "door"})
                self.assertEqual([s["name"] for s in run.spans["Account::deposit"]],
                                 ["std::mutex::lock", "std::mutex::unlock"])
                self.assertEqual(sorted(run.lines()), [("lambda in main at line 65", "audited"),
                                                       ("main", "square 49, handed 3"),
                                                       ("reader", "reader saw version 1")])

    def test_lines_of_cxx_streams_on_their_writers_tracks(self):
        # Whole lines from std::osyncstream, and lines written piece by piece with a std::string, two
        # threads at once; libstdc++'s own mutexes behind std::osyncstream are not the program's objects.
        for program in ("streams", "streams-O2"):
            with self.subTest(program=program):
                run = Traced(program)
                writers = {"foo()": "foo", "bar()": "bar", "alice": "greet 1", "bob": "greet 2"}
                lines = run.lines()
                self.assertEqual(len(lines), 80)
                for role, text in lines:
                    self.assertEqual(role, writers[text.split()[0]], text)
                self.assertFalse([e for e in run.events if e["ph"] == "X" and "mutex" in e["args"]])
        # With sync_with_stdio(false), lines that wait in a stream's own buffer are their writer's,
        # whoever flushes them.
        run = Traced("unsynced")
        self.assertEqual(sorted(run.lines()), [("lambda in main", "kept by the writer until the exit"),
                                               ("lambda in main", "logged by the writer"),
                                               ("main", "main writes"), ("main", "main's error")])

    def test_objects_named_as_the_source_names_them(self):
        for program in ("named", "named-O2"):
            with self.subTest(program=program):
                run = Traced(program)
                main = run.spans["main"]
                self.assertIn({"latch": "allDone"}, [s["args"] for s in main if s["name"] == "std::latch::wait"])
                self.assertEqual([s["args"] for s in main if s["name"] == "std::future::wait"], [{"future": "ft"}])
                # A join of a std::thread that was moved away throws: it joins no thread.
                joins = [s["args"] for s in main if s["name"] == "std::thread::join"]
                self.assertIn({"ended by": "unwinding"}, joins)
                self.assertEqual(sum(1 for args in joins if args.get("thread") == "lambda in main at line 42"), 1)

    def test_an_uncaught_exception_aborts(self):
        run = Traced("throws")
        self.assertEqual((run.status, run.last_line()), (3, "the program was killed by signal 6 (Aborted)"))
        # std::terminate's words go to standard error from inside the library, untraced: they are
        # placed on the thread that was running, which is the one that threw.
        self.assertEqual(run.lines(), [("failing", "about to throw"),
                                       ("failing", "terminate called after throwing an instance of "
                                                   "'std::runtime_error'"),
                                       ("failing", "  what():  nobody catches this")])


class Hangs(unittest.TestCase):
    def hang(self, program, speed, rows, why):
        """The tool finds the hang within seconds, names each blocked call with
        its object and line, explains it, and leaves no process behind."""
        run = Traced(program, speed=speed)
        self.assertEqual(run.status, 3, run.err)
        found = HANG.search(run.out)
        self.assertTrue(found, run.out)
        self.assertLess(run.seconds, float(found[1]) / speed + 5)
        # The hang began when the last of its waits did.
        unfinished = [e for e in run.events if e["ph"] == "X" and e["args"].get("unfinished")]
        self.assertGreaterEqual(float(found[1]), max(e["ts"] for e in unfinished) / 1e6 - 0.05)
        explanation = run.out[found.start():].splitlines()
        for row in rows:
            self.assertTrue(any(re.fullmatch(r"  " + row + r"\s+since [\d.]+ s", line) for line in explanation),
                            (row, explanation))
        self.assertIn(why, explanation)
        self.assertRegex(run.last_line(), r"^the program deadlocked, and was stopped at [\d.]+ s$")
        unfinished = [e for e in run.events if e["ph"] == "X" and e["args"].get("unfinished")]
        self.assertEqual(len(unfinished), sum(line.startswith("  ") for line in explanation))
        self.assertEqual([e["name"] for e in run.events if e.get("s") == "g"], ["deadlock"])
        self.assertEqual(left({pid for pid, _ in run.names}, program), [])
        return run

    def test_a_lock_order_deadlock(self):
        source = r"\S*programs/lockorder\.c"
        self.hang("lockorder", 10, [rf"main\s+pthread_join\(forwards\)\s+{source}:43",
                                    rf"forwards\s+pthread_mutex_lock\(second\)\s+{source}:18",
                                    rf"backwards\s+pthread_mutex_lock\(first\)\s+{source}:30"],
                  "forwards holds first and waits for second; backwards holds second and waits for first")

    def test_a_bakery_that_starves(self):
        # Which eaters go hungry, and how many, is the scheduler's choice.
        self.hang("bakers-starving", 20, [r"main\s+pthread_join\(Eater \d\)\s+\S*bakers-starving\.cpp:\d+",
                                          r"Eater \d\s+sem_wait\(bun\)\s+\S*bakers-starving\.cpp:\d+"],
                  "bun is 0, and no thread that posts bun is left: Baker 1, Baker 2 and Baker 3 have ended.")

    def test_a_condition_that_nobody_signals(self):
        self.hang("nosignal", 10, [r"main\s+pthread_join\(waiter\)\s+\S*programs/nosignal\.c:34",
                                   r"waiter\s+pthread_cond_wait\(ready, lock\)\s+\S*programs/nosignal\.c:19"],
                  "no thread ever signals ready.")

    def test_cxx_waits_that_never_end(self):
        for suffix in ("", "-O2"):
            with self.subTest(optimised=bool(suffix)):
                source = r"\S*programs/guards\.cpp"
                self.hang("guards" + suffix, 10,
                          [rf"main\s+std::thread::join\(forwards\)\s+{source}:30",
                           rf"forwards\s+std::mutex::lock\(second\)\s+{source}:16",
                           rf"backwards\s+std::mutex::lock\(first\)\s+{source}:23"],
                          "forwards holds first and waits for second; backwards holds second and waits for first")
                source = r"\S*programs/stuck\.cpp"
                run = self.hang("stuck" + suffix, 10,
                                [rf"main\s+std::thread::join\(waiter\)\s+{source}:38",
                                 rf"waiter\s+std::condition_variable::wait\(ready, m\)\s+{source}:20",
                                 rf"counter\s+std::latch::wait\(started\)\s+{source}:26",
                                 rf"taker\s+std::counting_semaphore::acquire\(slots\)\s+{source}:31"],
                                "no thread ever notifies ready.")
                self.assertIn("started still counts 2, and every other thread waits or has ended: none is left "
                              "to count it down.", run.out)
                self.assertIn("slots is 0, and every other thread waits or has ended: none is left to release it.",
                              run.out)

    def test_a_parent_waits_for_a_child_that_waits(self):
        self.hang("waitchild", 10, [r"parent\s+waitpid\(child\)\s+\S*programs/waitchild\.c:24",
                                    r"child\s+sem_wait\(go in child\)\s+\S*programs/waitchild\.c:18"],
                  "go in child is 0, and no thread ever posts go in child: parent posts go in parent, a copy that "
                  "this process does not share, for fork copies a semaphore that is not in shared memory.")

    def test_other_waits_that_hang(self):
        # program: ([(thread, its blocked call, its line)], the reason said)
        seats = [(n, n % 5) for n in range(1, 6)]  # philosopher n holds chopstick n - 1 and waits for the next
        cases = {
            "turns": ([("parent", r"sem_wait\(/timeline_turns\)", 26),
                       ("child", r"sem_wait\(/timeline_turns\)", 21)],
                      "/timeline_turns is 0, and no thread ever posts /timeline_turns."),
            "readlocked": ([("main", r"pthread_join\(updater\)", 25),
                            ("updater", r"pthread_rwlock_wrlock\(tableLock\)", 13)],
                           "tableLock is held for reading by main, which waits too."),
            "pipeline": ([("parent", r"waitpid\(child\)", 38), ("child", r"read\(pipe\)", 25)],
                         "child reads a pipe whose write end is open only in child, which waits too: nothing more "
                         "comes, and the end of its input comes only once every copy of the write end is closed."),
            "chopsticks": ([(f"philosopher {n}", rf"sem_wait\(chopstick\[{right}\]\)", 19) for n, right in seats],
                           "; ".join(f"philosopher {n} holds chopstick[{n - 1}] and waits for chopstick[{right}]"
                                     for n, right in seats)),
        }
        for program, (rows, why) in cases.items():
            with self.subTest(program=program):
                self.hang(program, 10, [rf"{role}\s+{call}\s+\S*programs/{program}\.c:{line}"
                                        for role, call, line in rows], why)

    def test_main_leaves_with_pthread_exit(self):
        source = r"\S*programs/leaving\.c"
        run = self.hang("leaving", 10, [rf"forwards\s+pthread_mutex_lock\(second\)\s+{source}:19",
                                        rf"backwards\s+pthread_mutex_lock\(first\)\s+{source}:29"],
                        "forwards holds first and waits for second; backwards holds second and waits for first")
        # Its format unread by uftrace once main had left, the line is still its writer's.
        self.assertIn(("backwards", "backwards holds second, and wants first"), run.lines())

    def test_a_mutex_locked_when_the_process_forked(self):
        self.hang("forklock", 10, [r"parent\s+waitpid\(child\)\s+\S*programs/forklock\.c:\d+",
                                   r"child\s+pthread_mutex_lock\(m in child\)\s+\S*programs/forklock\.c:\d+"],
                  "m in child was locked by holder when child was forked: child's copy stays locked, and no "
                  "thread of child holds it.")

    def test_a_holder_that_has_ended(self):
        self.hang("abandoned", 10, [r"main\s+pthread_mutex_lock\(m\)\s+\S*programs/abandoned\.c:21"],
                  "m is held by taker, which has ended without unlocking it.")

    def test_waits_that_something_ends_are_not_hangs(self):
        # A timeout, or an alarm's signal, ends the only thread's wait: 2 s and 0.3 s of real time.
        for program, lines in (("timedwait", ["timed out 1", "timed out 2"]), ("alarmed", ["rung 1", "rung 2"])):
            with self.subTest(program=program):
                run = Traced(program, speed=None)
                self.assertEqual((run.status, run.last_line()), (0, "the program exited with status 0"))
                self.assertEqual([text for _, text in run.lines()], lines)

    def test_a_deadline_and_ctrl_c_stop_the_run(self):
        for how, run in (("deadline", Traced("sleeper", speed=10, options=("--deadline", "25"))),
                         ("interrupted", Traced("sleeper", speed=10, signals=[signal.SIGINT]))):
            with self.subTest(how=how):
                self.assertEqual(run.status, 3)
                self.assertNotIn("deadlock", run.out)
                self.assertTrue(run.out.splitlines()[-1].startswith(f"{how}: stopped"), run.out)
                (mark,) = [e for e in run.events if e.get("s") == "g"]
                self.assertEqual(mark["name"], how)
                (pending,) = [e for e in run.events if e["ph"] == "X" and e["args"].get("unfinished")]
                self.assertEqual((pending["name"], pending["args"]["seconds"]), ("sleep", 10))
                self.assertEqual(left({pid for pid, _ in run.names}, "sleeper"), [])
                # The unfinished sleep ends where the run was stopped, after it began.
                self.assertAlmostEqual(pending["ts"] + pending["dur"], mark["ts"], delta=1000)
                self.assertGreater(pending["dur"], 0)
                if how == "deadline":  # 25 of the program's seconds, 2.5 s of real time at ten times the pace
                    self.assertAlmostEqual(mark["ts"] / 1e6, 25, delta=3)
                    self.assertLess(run.seconds, 25)
        # Ctrl-C came 1.5 s of real time after the tool started, the program's start some time later:
        # at most 15 of its seconds, however slowly it started.
        self.assertTrue(0 < mark["ts"] / 1e6 <= 15 + 2, mark)

    def test_signals_stop_the_run_and_keep_it(self):
        for signals, by in (([signal.SIGTERM], "SIGTERM"), ([signal.SIGHUP], "SIGHUP"),
                            ([signal.SIGINT, signal.SIGINT], "Ctrl-C")):
            with self.subTest(signals=signals):
                run = Traced("sleeper", speed=10, signals=signals)
                self.assertEqual(run.status, 3, run.err)
                self.assertEqual([e["name"] for e in run.events if e.get("s") == "g"], ["interrupted"])
                self.assertRegex(run.last_line(), rf"^the program was interrupted by {by}, and stopped at [\d.]+ s$")
                self.assertEqual(left({pid for pid, _ in run.names}, "sleeper"), [])

    def test_a_signal_before_the_run_is_traced(self):
        # --races reads a piped input whole before the run: a pipe left open holds the tool there.
        for number, status in ((signal.SIGINT, 130), (signal.SIGTERM, 143)):
            with self.subTest(signal=number), tempfile.TemporaryDirectory() as folder:
                tool = subprocess.Popen([TOOL, "--races", "--out", os.path.join(folder, "run"),
                                         os.path.join(os.environ["PROGRAMS_DIR"], "sleeper")],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                time.sleep(1.5)
                tool.send_signal(number)
                self.assertEqual(tool.wait(timeout=10), status)
                self.assertEqual(tool.stderr.read().decode(), f"timeline: interrupted ({number.name}) before "
                                 "sleeper was traced: nothing was recorded, nothing written\n")
                self.assertEqual(os.listdir(folder), [])
                tool.stdin.close()
                tool.stdout.close()
                tool.stderr.close()

    def test_a_third_ctrl_c_gives_up(self):
        with tempfile.TemporaryDirectory() as folder:
            tool = subprocess.Popen([TOOL, "--out", os.path.join(folder, "run"),
                                     os.path.join(os.environ["PROGRAMS_DIR"], "sleeper")],
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            time.sleep(1.5)
            for _ in range(3):  # while the first stops the run; not at once, or they may count as one
                tool.send_signal(signal.SIGINT)
                time.sleep(0.05)
            out, err = tool.communicate(timeout=60)
            self.assertEqual(tool.returncode, 130, err)
            self.assertIn("gave up", err.splitlines()[-1])
            # What was written before the third is whole; nothing was begun after it.
            self.assertLessEqual(set(os.listdir(folder)), {"run.json", "run.png"})
            if "run.json" in os.listdir(folder):
                with open(os.path.join(folder, "run.json")) as trace:
                    json.load(trace)

    def test_a_long_join_is_not_a_hang(self):
        run = Traced("longjoin", speed=1)
        self.assertEqual((run.status, run.last_line()), (0, "the program exited with status 0"))
        (join,) = [s for s in run.spans["main"] if s["name"] == "pthread_join"]
        self.assertGreater(join["dur"] / 1e6, 2.9)


class Recorder(unittest.TestCase):
    """The tool's recording library: the program runs as it does alone, and
    the record holds whatever the program does to its threads, processes,
    signals and descriptors."""

    def test_programs_run_as_they_do_alone(self):
        # Floating-point work in threads, main leaving with pthread_exit, a cancel with a cleanup handler,
        # C++ threads printing doubles, and a sleep that a signal cuts short, whose value is what it left.
        for program, speed in (("numeric", 10), ("cancel", 10), ("doubles", 10), ("doubles-O2", 10),
                               ("nested", None)):
            with self.subTest(program=program):
                run = as_alone(self, program, speed=speed)
                self.assertNotIn("warning", run.out + run.err)
        run = as_alone(self, "numeric")
        self.assertEqual(sum("sqrt 0.886227" in line for line in run.program_lines()), 4)

    def test_a_cancelled_wait_ends_where_it_was_unwound(self):
        run = Traced("cancel")
        (wait,) = [s for s in run.spans["waiter"] if s["name"] == "pthread_cond_wait"]
        self.assertEqual(wait["args"], {"cond": "never", "mutex": "m", "ended by": "unwinding"})
        self.assertEqual(run.lines(), [("waiter", "cleaned up after the cancel"), ("main", "cancelled")])

    def test_forks_while_another_thread_is_inside_a_call(self):
        run = Traced("forkloop")  # the library takes no lock that a child inherits held
        self.assertEqual(run.status, 0, run.err)
        self.assertEqual(sorted(run.lines())[-1], ("parent", "collected 20 children"))
        self.assertEqual({role for role, text in run.lines() if text.startswith("child ")},
                         {f"child {n}" for n in range(1, 21)})
        for role, text in run.lines():
            if text.startswith("child "):
                self.assertEqual(role, text[:-len(" ran")])

    def test_a_signal_handlers_call_is_inside_the_call_it_cut_short(self):
        run = Traced("nested", speed=None)
        (sleep,) = [s for s in run.spans["main"] if s["name"] == "sleep"]
        (ring,) = [e for e in run.events if e.get("s") == "t" and e["name"] == "ringing inside the sleep"]
        self.assertEqual(sleep["args"], {"seconds": 3})
        self.assertTrue(sleep["ts"] < ring["ts"] < sleep["ts"] + sleep["dur"], (sleep, ring))
        self.assertEqual(run.lines()[-1], ("main", "woken with 2 s left"))

    def test_a_longjmp_out_of_a_call_ends_it(self):
        run = Traced("escape", speed=None)
        (sleep,) = [s for s in run.spans["main"] if s["name"] == "sleep"]
        self.assertEqual(sleep["args"], {"seconds": 3, "ended by": "longjmp"})
        (escaped,) = [e for e in run.events if e.get("s") == "t"]
        self.assertLessEqual(sleep["ts"] + sleep["dur"], escaped["ts"])
        self.assertAlmostEqual(sleep["dur"] / 1e6, 0.2, delta=0.15)

    def test_vfork_and_posix_spawn(self):
        run = Traced("spawner")
        # The vfork child ran in its parent's memory: none of its calls is on the parent's track.
        self.assertEqual([s["name"] for s in run.spans["parent"] if s["name"] == "usleep"], [])
        self.assertEqual(sorted(run.lines()), [("child 1 (echo)", "from vfork"), ("child 2 (echo)", "from posix_spawn"),
                                               ("parent", "both ran")])

    def test_a_program_that_closes_every_descriptor(self):
        run = Traced("closeall")  # and standard output and error at the end, and writes on
        self.assertEqual((run.status, run.err.count("warning")), (0, 0), run.err)
        self.assertEqual(sorted(run.lines()),
                         [("main", "total 6")] + [(f"work {n}", f"worker {n} added") for n in (1, 2, 3)])

    def test_calls_bound_at_load_time(self):
        run = Traced("prodcons-bound")  # built with -fno-plt and linked with -z now
        self.assertEqual(list(run.names.values()), ["main", "producer", "consumer 1", "consumer 2", "consumer 3"])
        waits = {tuple(sorted(s["args"].items())) for s in run.events if s.get("name") == "pthread_cond_wait"}
        self.assertEqual(waits, {(("cond", "notEmpty"), ("mutex", "m")), (("cond", "notFull"), ("mutex", "m"))})

    def test_a_set_user_id_program_is_said(self):
        if os.geteuid() != 0:
            self.skipTest("needs root to make a program set-user-ID for another user")
        with tempfile.TemporaryDirectory() as folder:
            copy = os.path.join(folder, "raised")
            shutil.copy(os.path.join(os.environ["PROGRAMS_DIR"], "lockloop"), copy)
            os.chmod(folder, 0o755)
            os.chown(copy, pwd.getpwnam("nobody").pw_uid, -1)
            os.chmod(copy, 0o4755)
            done = subprocess.run([TOOL, "--out", os.path.join(folder, "run"), copy], capture_output=True, text=True)
            self.assertEqual(done.returncode, 1)
            self.assertIn("set-user-ID", done.stderr)
            self.assertEqual(len(done.stderr.splitlines()), 1, done.stderr)

    def test_without_uftrace(self):
        with tempfile.TemporaryDirectory() as bare:
            for tool in ("eu-stack", "eu-addr2line", "cc", "gcc", "nm", "objdump", "as", "ld"):
                found = shutil.which(tool)
                if found:
                    os.symlink(found, os.path.join(bare, tool))
            done = subprocess.run([TOOL, "--out", os.path.join(bare, "run"),
                                   os.path.join(os.environ["PROGRAMS_DIR"], "prodcons")],
                                  capture_output=True, text=True, env=dict(os.environ, PATH=bare), cwd=bare)
            self.assertEqual(done.returncode, 0, done.stderr)
            self.assertIn("all consumed", done.stdout)


if __name__ == "__main__":
    unittest.main()


SHAKEN = re.compile(r"^shake: run (\d+) of (\d+) \((?:seed (\d+)|unperturbed)\) (.+)$", re.M)


class Shake(unittest.TestCase):
    def shaken(self, program, *args, options=(), speed=None):
        """A --shake of the program: the run, and what its shake line says
        (run, runs, seed or None, what was wrong)."""
        run = Traced(program, *args, options=("--shake", *options), speed=speed)
        found = SHAKEN.search(run.out)
        return run, (int(found[1]), int(found[2]), found[3] and int(found[3]), found[4]) if found else None

    def test_a_hang_is_shaken_out_and_shown(self):
        run, said = self.shaken("lostwake")
        self.assertIsNotNone(said, run.out)
        number, runs, seed, wrong = said
        self.assertEqual((runs, wrong, run.status), (50, "hung", 3), run.out)
        self.assertGreater(number, 1)  # unshaken it does not hang
        explanation = run.out[HANG.search(run.out).start():].splitlines()
        self.assertTrue(any(re.fullmatch(r"  waiter\s+pthread_cond_wait\(changed, lock\)\s+\S*lostwake\.c:\d+\s+"
                                         r"since [\d.]+ s", line) for line in explanation), explanation)
        unfinished = {run.names[(e["pid"], e["tid"])] for e in run.events
                      if e["ph"] == "X" and e["args"].get("unfinished")}
        self.assertEqual(unfinished, {"main", "waiter"})
        self.assertRegex(run.out.splitlines()[-1], rf"^to shake it so again: \S*timeline\.py --shake --seed {seed} "
                                                   r"\S*lostwake$")
        self.assertEqual(left({pid for pid, _ in run.names}, "lostwake"), [])

    def test_a_crash_and_other_lines_are_shaken_out(self):
        run, said = self.shaken("earlyuse")
        self.assertEqual((said[3], run.status), ("was killed by signal 11 (Segmentation fault)", 3), run.out)
        self.assertRegex(run.last_line(), r"^the program was killed by signal 11 \(Segmentation fault\)$")
        run, said = self.shaken("oversold")
        self.assertIsNotNone(said, run.out)
        number, _, _, wrong = said
        self.assertEqual((wrong, run.status), ("wrote other lines than run 1", 3))
        self.assertIn("  only in run 1: sold 10 of 10 seats", run.out)
        self.assertRegex(run.out, rf"\n  only in run {number}: sold 1[1-9] of 10 seats\n")
        self.assertEqual(run.program_lines(), [line.split(": ", 1)[1] for line in run.out.splitlines()
                                               if line.startswith(f"  only in run {number}: ")])

    def test_a_program_that_crashes_unshaken(self):
        run, said = self.shaken("crashes", options=("5",))
        self.assertEqual(said, (1, 5, None, "was killed by signal 11 (Segmentation fault)"), run.out)
        self.assertEqual(run.out.splitlines()[-1], "it does so unshaken: a plain run shows it too")

    def test_a_seed_gives_its_one_run(self):
        run, said = self.shaken("farlocks", options=("--seed", "2718281828"))
        if said is None:  # that seed's delays did not make it misbehave this time
            self.assertIn("\nshake: 2 runs, all alike\n", run.out + "\n")
            self.assertEqual(run.status, 0)
        else:
            self.assertEqual(said[:3], (2, 2, 2718281828))
            self.assertEqual(run.status, 3)

    def test_correct_programs_are_all_alike(self):
        # Process ids and addresses differ from run to run; the threads end in any order.
        for program in ("addresses", "forker"):
            run, said = self.shaken(program, options=("20",), speed=10)
            self.assertIsNone(said, run.out)
            self.assertEqual(run.out.splitlines()[-1], "shake: 20 runs, all alike")
            self.assertEqual(run.status, 0, run.err)

    def test_bad_shakes(self):
        path = os.path.join(os.environ["PROGRAMS_DIR"], "addresses")
        for options in (("--shake", "0"), ("--seed", "5"), ("--shake", "--races"), ("--shake", "--seed", "0")):
            done = subprocess.run([TOOL, *options, path], capture_output=True, text=True, timeout=60)
            self.assertEqual(done.returncode, 2, (options, done.stderr))
            self.assertEqual(done.stdout, "")
