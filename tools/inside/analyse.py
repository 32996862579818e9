"""The analysis of a recorded run: who is who, what each call was about,
what each thread was doing, who woke whom, who held each mutex, and each
semaphore's value.

A call's timestamps are the moments it was entered and left; what it did
happened in between. C++'s library is first read in the words of the C
calls (cxx.py); then each kind of object has its module: mutexes.py,
semaphores.py (and C++20's futex objects), conditions.py; threads.py says
who is who and whom each join waited for."""
import bisect, math, os, re
from collections import defaultdict, namedtuple

from . import conditions, cxx, explain, lines as output, mutexes, objects, semaphores, threads
from .calls import (ASYNC_TASK, ASYNC_WAIT, CALLS, COND_WAITS, CREATES, FUTEX_WAITS, OBJECTS, RARE, SLEEPS,
                    THREAD_JOINS)
from .read import END, NAME, RAW, START, arguments

JOIN = "_ZNSt6thread4joinEv"
TASK_CALL = "pthread_once"

# lines_cut: (how many lines of the output the trace keeps, how many bytes after them it leaves out), or None.
Analysis = namedtuple("Analysis", "order roles calls names flows holds values blocked unfinished lines warnings "
                                  "end stop targets sleeps explanation objects cut races lines_cut",
                      defaults=(None, None))


def analyse(record, recording, plt_names):
    calls, symbols = record.calls, record.symbols
    runs = {id(c): threads.creation_name(c, symbols) for c in record.creations}
    add_helper_joins(calls, record.joins, record.creations, runs)
    unfinished, stop, pending_targets, sleeps = pending_calls(record, recording, plt_names)
    cxx.translate(calls, symbols, unfinished)
    # The few calls that name threads and processes, or write, looked at apart from the million others.
    rare = {task: [call for call in task_calls if call[NAME] in RARE] for task, task_calls in calls.items()}
    roles, order, created = threads.name_tasks(calls, rare, record.forks, symbols, record.creations, runs,
                                               record.started)
    mark_async_tasks(calls, record.creations, runs, roles)
    rare = {task: [call for call in task_calls if call[NAME] in RARE] for task, task_calls in calls.items()}
    symbols.name_locals(objects.used_addresses(calls))
    name_from_sources(calls, unfinished, symbols)
    name_from_code(calls, symbols)
    names = objects.Names(calls, symbols, roles)
    names.index(calls)
    targets, blocked = threads.join_targets(calls, rare, roles, unfinished, record.creations, record.joins)
    targets.update(created)
    targets.update(threads.resolve(pending_targets, roles))
    blocked |= set(pending_targets)
    flows, holds, values, warnings = [], {}, {}, []
    for kind in ("semaphore", "latch", "atomic", "future", "barrier"):
        for name, events in names.events[kind].items():
            if kind == "semaphore" and semaphores.is_posix(events):
                values[name] = semaphores.semaphore(name, events, blocked, flows, unfinished, warnings, record.cut)
            elif kind == "barrier" and semaphores.is_posix(events):
                conditions.barrier(events, blocked, unfinished)
            else:
                semaphores.futex_object(name, events, blocked, flows, unfinished, one_each=kind == "semaphore")
    for name, events in names.events["mutex"].items():
        holds[name] = mutexes.mutex(name, events, blocked, flows, unfinished)
    for name, events in names.events["cond"].items():
        conditions.condition(name, events, blocked, flows, unfinished)
    for events in names.events["rwlock"].values():
        mutexes.rwlock(events, blocked, unfinished)
    flows += async_flows(calls, rare, roles, targets, blocked)
    end = max([stop[1] if stop else 0] + [max(c[END] for c in task_calls) for task_calls in calls.values()
                                          if task_calls])
    for name, task_holds in holds.items():
        holds[name] = mutexes.closed(task_holds, end)
    written, lost = output.attribute(rare, recording.output, symbols)
    moved = output.redirections(calls, symbols)  # what was written after its stream was moved is not lost
    lost = [call for task, call in lost if call[START] < moved.get((task[0], output.stream(call, symbols)), math.inf)]
    line_events = output.untraced(written, calls, recording.arrivals, record.zero, record.speed, end)
    if record.cut:  # the lines of the part left out go with its calls
        kept = [not record.cut[0] < moment < record.cut[1] for moment, _, _ in line_events]
        written = [line for line, keep in zip(written, kept) if keep]
        line_events = [line for line, keep in zip(line_events, kept) if keep]
    strays = [text for task, _, text, _ in written if task is None]
    whole = not record.cut and not recording.result.skipped
    warnings += check_lines(strays, lost if whole else [], recording) + float_faults(calls, roles, order, symbols)
    unmatched = sum(count for task, count in record.unmatched.items() if task[0] not in record.execs)
    if unmatched:
        warnings.append(f"the record is not whole: {unmatched} calls left without an entry")
    if recording.helper is None:
        warnings.append("there is no C compiler to build the helper library (apt-get install gcc): threads are "
                        "matched to their creations by the order of their ids, and C++ threads are not named")
    if not record.creations:
        made = sum(1 for cs in rare.values() for c in cs if c[NAME] in CREATES and threads.succeeded(c))
        untracked = made - (len(order) - len({pid for pid, _ in order}))
        if untracked > 0:
            warnings.append(f"{untracked} threads made no traced call and have no track")
    result = Analysis(order, roles, calls, names, flows, holds, values, blocked, unfinished, line_events, warnings,
                      end, stop, targets, sleeps, None, names.kinds, record.cut, None,
                      (recording.output.count(b"\n"), recording.result.skipped) if recording.result.skipped else None)
    if stop and stop[0] == "deadlock":
        result = result._replace(explanation=explain.deadlock(result, recording.snapshot))
    return result


def name_from_sources(calls, unfinished, symbols):
    """An object that nothing else names (on the heap, or in memory the
    program mapped) is named by the expression that the source line of a
    call still waiting on it wrote, where that line is plain enough."""
    for task_calls in calls.values():
        for call in task_calls:
            pending = unfinished.get(id(call)) if unfinished else None
            if pending is None or not pending.site:
                continue
            kinds = OBJECTS.get(call[NAME], ())
            for i, (kind, address) in enumerate(zip(kinds, arguments(call[RAW]) if kinds else ())):
                if isinstance(address, int) and address and symbols.object(address, kind).startswith("0x"):
                    found = objects.from_source(kind, pending.site, lock=i == 1 and call[NAME] in COND_WAITS)
                    if found:
                        symbols.given[address] = found
                        symbols.names.pop((address, kind), None)


def name_from_code(calls, symbols):
    """An object still without a name (on the heap), the only one of its
    kind so, is named by the expression that the program's own calls on
    objects of that kind write, where all of them that do not name another
    object write one (pthread_mutex_lock(&q->lock): q->lock)."""
    used = objects.used_addresses(calls)
    unnamed = defaultdict(set)
    for kind, address in used:
        if symbols.object(address, kind).startswith("0x"):
            unnamed[kind].add(address)
    alone = {kind: addresses.pop() for kind, addresses in unnamed.items() if len(addresses) == 1}
    if not alone or not symbols.program:
        return
    functions = {kind: {f for f, kinds in OBJECTS.items() if kinds[0] == kind and objects.PLAIN_CALL.match(f)}
                 for kind in alone}
    sites = objects.call_sites(symbols.program, set().union(*functions.values()))
    for kind, address in alone.items():
        named = {symbols.object(a, k) for k, a in used if k == kind and a != address}
        found = objects.from_code(kind, sites, functions[kind]) - named
        if len(found) == 1:
            symbols.given[address] = found.pop()
            symbols.names.pop((address, kind), None)


def insert(task_calls, call):
    """Puts a call into a task's calls, in order of start."""
    task_calls.insert(bisect.bisect_right([c[START] for c in task_calls], call[START]), call)


def add_helper_joins(calls, joins, creations, runs):
    """The joins of std::thread that uftrace did not record, for the program
    called std::thread::join through a table that uftrace does not hook (as
    std::async does): from the helper library's log. A join of a std::async
    thread is a wait on its future."""
    for join in joins:
        if join.end is None:
            continue
        task_calls = calls.setdefault((join.pid, join.tid), [])
        if any(c[NAME] == JOIN and c[START] <= join.start and join.end <= c[END] for c in task_calls):
            continue
        # A std::async state keeps its std::thread inside itself: the join names the task's handle.
        task = next((c for c in reversed(creations) if c.pid == join.pid and c.start <= join.start and runs.get(id(c))
                     and runs[id(c)].state and runs[id(c)].state[0] <= join.this < sum(runs[id(c)].state)), None)
        if task is not None:
            insert(task_calls, (ASYNC_WAIT, join.start, join.end, f"({task.handle:#x})", None))
        else:
            insert(task_calls, (JOIN, join.start, join.end, f"({join.this:#x})", None))


def mark_async_tasks(calls, creations, runs, roles):
    """A std::async thread runs its task inside a call of pthread_once: that
    call is the task, whose end sets the future."""
    for creation in creations:
        found = runs.get(id(creation))
        if not (found and found.task) or creation.tid is None:
            continue
        task_calls = calls.get((creation.pid, creation.tid), [])
        for i, call in enumerate(task_calls):
            if call[NAME] == TASK_CALL:
                task_calls[i] = (ASYNC_TASK, call[START], call[END], "", None)
                break


def async_flows(calls, rare, roles, targets, blocked):
    """A flow from the end of a std::async task to the wait on its future that it ended."""
    tasks = {roles[task]: next((c for c in task_calls if c[NAME] == ASYNC_TASK), None)
             for task, task_calls in calls.items() if task in roles}
    found = []
    for task, task_calls in rare.items():
        for call in task_calls:
            if call[NAME] != ASYNC_WAIT or id(call) not in blocked:
                continue
            target = targets.get(id(call))
            source = tasks.get(target)
            if source is not None and call[START] < source[END] <= call[END]:
                from_task = next(t for t, role in roles.items() if role == target)
                found.append((f"future of {target}", from_task, source, task, call))
    return found


# Calls that never return: in flight when their process or image ended, they did not wait.
NO_RETURN = {"pthread_exit", "exit", "_exit", "_Exit", "abort", "execve", "execv", "execvp", "execvpe", "execl",
             "execlp", "execle", "fexecve", "longjmp", "siglongjmp", "__longjmp_chk", "__cxa_throw",
             "__cxa_rethrow", "_Unwind_Resume", "quick_exit", "__assert_fail"}


def pending_calls(record, recording, plt_names):
    """The calls that were still in flight when the run ended or was stopped,
    as calls that last until then: those that the record holds entered and
    never left, and when the run was stopped, those that the snapshot of the
    live program found and the record lacks, with what the snapshot says of
    each (its stack, the object's memory). Returns them ({id(call): Pending,
    or None without a snapshot}), when and why the run was stopped (None if
    it ended by itself), the pending joins' targets and the pending sleeps'
    requests."""
    snapshot, zero, targets, sleeps = recording.snapshot, record.zero, {}, {}
    scale = record.speed
    last = max((cs[-1][END] for cs in record.calls.values() if cs), default=0)
    at, stop = None, None
    if snapshot is not None:
        # The program's clock runs speed times as fast as the real one that the
        # watch reads; a hang began when the last thread began to wait.
        starts = [int((p.start - zero) * scale) for p in snapshot.pending if p.start and p.thread.wait]
        starts += [join.start for join in record.joins if join.end is None]
        starts += [start for stack in record.unended.values() for _, start, _ in stack]
        if snapshot.reason == "deadlock":
            at = max(starts + [last]) + (snapshot.seconds - snapshot.hung_since) * scale * 1e9
        else:  # uftrace's clock is the tool's own
            at = max(starts + [last, (snapshot.clock - zero) * scale])
        at = int(at)
        stop = (snapshot.reason, at, snapshot.by or "Ctrl-C")
    ends = {}  # each process's last moment: when its calls in flight ended with it
    for (pid, _), task_calls in record.calls.items():
        if task_calls:
            ends[pid] = max(ends.get(pid, 0), max(c[END] for c in task_calls[-16:]))
    for (pid, _), stack in record.unended.items():
        ends[pid] = max([ends.get(pid, 0)] + [start for _, start, _ in stack])
    unfinished, in_flight = {}, {}
    for task, stack in record.unended.items():
        for name, start, raw in stack:
            if name in NO_RETURN:
                continue
            call = (name, start, at if at is not None else ends[task[0]], raw, None)
            record.calls.setdefault(task, []).append(call)
            unfinished[id(call)] = None
            in_flight.setdefault(task, []).append(call)
    used = objects.used_addresses(record.calls)
    helper_joins = {(join.pid, join.tid): join for join in record.joins if join.end is None}
    read = [(pending, at) for pending in snapshot.pending] if snapshot is not None else []
    read += [(pending, ends.get(pid, last)) for pid, pendings in (recording.dying or {}).items()
             for pending in pendings]
    for pending, end in read:
        thread = pending.thread
        task = (thread.pid, thread.tid)
        recorded = in_flight.get(task, [])
        # The calls around the innermost one, which had not returned either.
        for plt_entry, _, start, where in pending.outer:
            name = plt_names(plt_entry) if plt_entry else None
            if name and start:
                call = take(recorded, name) or add(record, task, (name, int((start - zero) * scale), end, "", None))
                unfinished[id(call)] = pending._replace(site=where, memory=b"")
        name = plt_names(pending.plt_entry) if pending.plt_entry else None
        call = take(recorded, name) if name else None
        if call is None and name is None and task in helper_joins:
            join = helper_joins[task]
            call = add(record, task, (JOIN, join.start, end, f"({join.this:#x})", None))
        elif call is None and name is not None and pending.start is not None:
            call = add(record, task, (name, int((pending.start - zero) * scale), end,
                                      pending_arguments(name, thread, used, record), None))
        if call is None:
            continue
        if call[NAME] in THREAD_JOINS | {"pthread_join"} and thread.wait and thread.wait[0] == "futex":
            targets[id(call)] = ("tid", thread.pid, thread.wait[2])
        elif call[NAME] in ("wait", "waitpid") and thread.wait and thread.wait[0] == "child":
            targets[id(call)] = ("pid", thread.pid, thread.wait[1])
        if call[NAME] in SLEEPS and thread.sleep:
            seconds, nanoseconds = thread.sleep
            asked = round((seconds + nanoseconds / 1e9) * scale, 6)
            sleeps[id(call)] = int(asked) if asked == int(asked) else asked
        unfinished[id(call)] = pending
    for task_calls in record.calls.values():
        task_calls.sort(key=lambda call: call[START])
    return unfinished, stop, targets, sleeps


def take(recorded, name):
    """The innermost call of this name among a thread's recorded calls in flight, taken from them."""
    for i in range(len(recorded) - 1, -1, -1):
        if recorded[i][NAME] == name:
            return recorded.pop(i)
    return None


def add(record, task, call):
    call = call[:END] + (max(call[START], call[END]),) + call[END + 1:]  # a clock read late ends it where it began
    record.calls.setdefault(task, []).append(call)
    return call


def pending_arguments(name, thread, used, record):
    """A pending call's arguments, as uftrace would have recorded them, from
    the futex word that its thread waits on."""
    if not (thread.wait and thread.wait[0] == "futex"):
        return ""
    futex = thread.wait[1]
    if name == "syscall":
        return f"(202, {futex:#x}, 0, {thread.wait[2]}, 0x0)"
    if name in FUTEX_WAITS:
        return f"({futex:#x}, 0)"
    kinds = OBJECTS.get(name)
    if not kinds:
        return ""
    address = objects.place(kinds[0], futex, used, record.symbols)
    if name in COND_WAITS and CALLS.get(name) and "arg2" in CALLS[name].recorded:
        mutex = holding(record.calls.get((thread.pid, thread.tid), []))
        return f"({address:#x}, {mutex or 0:#x})"
    return f"({address:#x})"


def holding(task_calls):
    """The address of the mutex that the task holds last, from its calls."""
    held = []
    for call in task_calls:
        if call[NAME] in cxx.TAKES and threads.succeeded(call):
            held.append(arguments(call[RAW])[0])
        elif call[NAME] in cxx.RELEASES and arguments(call[RAW])[0] in held:
            held.remove(arguments(call[RAW])[0])
    return held[-1] if held else None


def check_lines(strays, lost, recording):
    warnings = []
    if strays:
        warnings.append(f"{len(strays)} lines reached the terminal from calls that are not traced, such as "
                        f"{strays[0]!r}: each is placed on the thread that last ended a call before it arrived "
                        "and was not waiting then")
    if lost and recording.snapshot is None and "killed" not in recording.ended:
        warnings.append(f"the record is not whole: {len(lost)} writes are not on the terminal")
    return warnings


FLOAT_FORMAT = re.compile(rb"%[-+ #0']*(\*|\d+)?(\.(\*|\d*))?[lL]?[eEfFgGaA]")


def float_faults(calls, roles, order, symbols):
    """uftrace 0.13's libmcount uses the registers that hold a call's
    floating-point arguments: it loses them in each thread's first traced
    call, and can change them in any other. Say where a first call passes
    one, and how many other calls do (a printf of %f, a libm function)."""
    warnings, others, example = [], 0, None
    libm = math_functions(symbols)
    for task in order:
        first = True
        for call in calls.get(task, []):
            if call[NAME] == "fork":
                continue
            writes = output.WRITERS.get(call[NAME])
            floating = call[NAME] in libm
            text = None
            if writes is not None and writes[1] == "format":
                args = arguments(call[RAW])
                at = writes[2]
                if at < len(args) and isinstance(args[at], bytes) and FLOAT_FORMAT.search(args[at]):
                    floating = True
                    text = args[at].decode(errors="replace").encode("unicode_escape").decode()
            if floating and first and text is not None:
                warnings.append(f"{roles[task]}'s first traced call, {CALLS[call[NAME]].name}(\"{text}\", ...), "
                                "passes a floating-point value, which uftrace 0.13 loses in a thread's first traced "
                                "call: what it printed may be wrong")
            elif floating:
                others += 1
                example = example or (f'{CALLS[call[NAME]].name}("{text}", ...)' if text else call[NAME])
            first = False
    if others:
        more = " more" if warnings else ""
        warnings.append(f"{others}{more} traced calls pass floating-point values, such as {example}: uftrace 0.13 "
                        "can change them, so what they printed or returned may be wrong under the tracer")
    return warnings


def math_functions(symbols):
    """The functions that libm exports, if the program loads it."""
    names = set()
    for _, _, path in symbols.modules:
        if os.path.basename(path).startswith("libm.so"):
            names |= {row[2] for row in symbols.table(path)[0] if row[3]}
    return names
