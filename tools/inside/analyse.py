"""The analysis of a recorded run: who is who, what each call was about,
what each thread was doing, who woke whom, who held each mutex, and each
semaphore's value.

A call's timestamps are the moments it was entered and left; what it did
happened in between. C++'s library is first read in the words of the C
calls (cxx.py); then each kind of object has its module: mutexes.py,
semaphores.py (and C++20's futex objects), conditions.py; threads.py says
who is who and whom each join waited for."""
import math
from collections import defaultdict, namedtuple

from . import conditions, cxx, explain, lines as output, mutexes, objects, semaphores, threads
from .calls import ASYNC_TASK, ASYNC_WAIT, COND_WAITS, OBJECTS, RARE
from .live import site
from .read import FROM_LIBRARY

JOIN = "_ZNSt6thread4joinEv"
TASK_CALL = "pthread_once"

# lines_cut: (how many lines of the output the trace keeps, how many bytes after them it leaves out), or None.
# lives: {task: (when the thread began, when it ended)}.
Analysis = namedtuple("Analysis", "order roles calls names flows holds values blocked unfinished lines warnings "
                                  "end stop targets sleeps explanation objects cut races lines_cut lives",
                      defaults=(None, None, None))
# What the tool knows of a call that was still in flight when the run
# ended: the live thread as the kernel showed it when the run was stopped
# (or None), the memory at the futex it waited on, and where it was made:
# (file, line, function, address), as live.site() gives it, or None.
Unfinished = namedtuple("Unfinished", "thread memory site")


def analyse(record, recording):
    calls, symbols = record.calls, record.symbols
    runs = {id(c): threads.creation_name(c, symbols) for c in record.creations}
    async_joins(calls, record.creations, runs)
    unfinished, stop, pending_targets = pending_calls(record, recording)
    cxx.translate(calls, symbols, unfinished)
    leave_out_library_objects(calls, symbols)
    # The few calls that name threads and processes, or write, looked at apart from the million others.
    rare = {task: [call for call in task_calls if call.name in RARE] for task, task_calls in calls.items()}
    roles, order, created = threads.name_tasks(calls, rare, record.images, record.creations, runs)
    mark_async_tasks(calls, record.creations, runs)
    rare = {task: [call for call in task_calls if call.name in RARE] for task, task_calls in calls.items()}
    name_from_sources(calls, unfinished, symbols)
    symbols.name_locals(objects.used_addresses(calls))
    name_from_code(calls, symbols)
    names = objects.Names(calls, symbols, roles)
    names.index(calls)
    targets, blocked = threads.join_targets(calls, rare, roles, unfinished, record.creations)
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
    end = max([stop[1] if stop else 0] + [max(c.end for c in task_calls) for task_calls in calls.values()
                                          if task_calls])
    for name, task_holds in holds.items():
        holds[name] = mutexes.closed(task_holds, end)
    written, lost = output.attribute(calls, record.inserted, recording.output)
    moved = output.redirections(calls)  # what was written after its stream was moved is not lost
    lost = [call for task, call in lost
            if call.start < moved.get((task[0], output.STREAMS[call.args[1]]), math.inf)]
    line_events = output.untraced(written, calls, recording.arrivals, record.zero, record.speed, end)
    if record.cut:  # the lines of the part left out go with its calls
        kept = [moment is None or not record.cut[0] < moment < record.cut[1] for moment, _, _ in line_events]
        line_events = [line for line, keep in zip(line_events, kept) if keep]
    strays = [text for task, _, text, _ in written if task is None]
    whole = not record.cut and not recording.result.skipped
    warnings += check_lines(strays, lost if whole else [], recording)
    result = Analysis(order, roles, calls, names, flows, holds, values, blocked, unfinished, line_events, warnings,
                      end, stop, targets, {}, None, names.kinds, record.cut, None,
                      (recording.output.count(b"\n"), recording.result.skipped) if recording.result.skipped else None,
                      lives_of(record, order, end, stop))
    if stop and stop[0] == "deadlock":
        result = result._replace(explanation=explain.deadlock(result, recording.snapshot))
    return result


def leave_out_library_objects(calls, symbols):
    """The calls on objects of a library's own (the mutexes behind
    std::osyncstream, which libstdc++'s headers declare) are not the
    program's: they are left out."""
    theirs = {}

    def library_object(call):
        if call.name not in OBJECTS or not call.args:
            return False
        address = call.args[0]
        if address not in theirs:
            theirs[address] = symbols.in_library(address)
        return theirs[address]
    for task, task_calls in calls.items():
        if any(library_object(call) for call in task_calls):
            calls[task] = [call for call in task_calls if not library_object(call)]


def name_from_sources(calls, unfinished, symbols):
    """An object that no variable at a fixed address holds (on a stack, on
    the heap, a future's shared state) is named by the expression that the
    program's own source lines of the calls on it write, where they agree
    and are plain enough: the line of a call's caller, passing over the
    header code of the C++ library by the return addresses that the record
    kept, or of a call still waiting when the run was stopped, by its stack."""
    chains, sites, seen = defaultdict(list), defaultdict(list), set()
    for task_calls in calls.values():
        for call in task_calls:
            kinds = OBJECTS.get(call.name)
            pending = unfinished.get(id(call)) if kinds else None
            key = (call.name, call.args, call.caller, call.stack)
            if not kinds or (key in seen and pending is None):
                continue
            seen.add(key)
            for i, (kind, address) in enumerate(zip(kinds, call.args)):
                if not address or symbols.variable(address) is not None:
                    continue
                about = (kind, address, i == 1 and call.name in COND_WAITS)
                chain = [at for at in (call.caller, *call.stack) if at and not symbols.in_tool(at)]
                if chain:
                    chains[about].append(chain)
                if pending is not None and pending.site and pending.site[0]:
                    sites[about].append(pending.site[:2])
    lines = symbols.sites({at for found in chains.values() for chain in found for at in chain})
    for about in chains.keys() | sites.keys():
        kind, address, lock = about
        places = sites[about] + [next((lines[at] for at in chain if lines.get(at)), None) for chain in chains[about]]
        said = {objects.from_source(kind, place, lock=lock) for place in places if place} - {None}
        if len(said) == 1:  # the lines that name it agree
            symbols.given[address] = said.pop()
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


def async_joins(calls, creations, runs):
    """A join of the std::thread that a std::async state object holds is a
    wait on the future of the task's thread (libstdc++ joins it when the
    future is waited for). Other joins that the library made are left out."""
    states = [(c, runs[id(c)].state) for c in creations if runs.get(id(c)) and runs[id(c)].state]
    for task, task_calls in calls.items():
        if not any(call.name == JOIN for call in task_calls):
            continue
        kept = []
        for call in task_calls:
            if call.name == JOIN:
                where = call.args[0]
                found = next((c for c, state in reversed(states) if c.pid == task[0] and c.start <= call.start
                              and state[0] <= where < state[0] + state[1]), None)
                if found is not None:
                    call = call._replace(name=ASYNC_WAIT, args=(found.handle or 0, 0, 0, 0))
                elif call.flags & FROM_LIBRARY:
                    continue
            kept.append(call)
        calls[task] = kept


def mark_async_tasks(calls, creations, runs):
    """A std::async thread runs its task inside a call of pthread_once:
    that call is the task, whose end sets the future."""
    for creation in creations:
        found = runs.get(id(creation))
        if not (found and found.task) or creation.tid is None:
            continue
        task_calls = calls.get((creation.pid, creation.tid), [])
        for i, call in enumerate(task_calls):
            if call.name == TASK_CALL:
                task_calls[i] = call._replace(name=ASYNC_TASK)
                break


def async_flows(calls, rare, roles, targets, blocked):
    """A flow from the end of a std::async task to the wait on its future that it ended."""
    tasks = {roles[task]: next((c for c in task_calls if c.name == ASYNC_TASK), None)
             for task, task_calls in calls.items() if task in roles}
    found = []
    for task, task_calls in rare.items():
        for call in task_calls:
            if call.name != ASYNC_WAIT or id(call) not in blocked:
                continue
            target = targets.get(id(call))
            source = tasks.get(target)
            if source is not None and call.start < source.end <= call.end:
                from_task = next(t for t, role in roles.items() if role == target)
                found.append((f"future of {target}", from_task, source, task, call))
    return found


def pending_calls(record, recording):
    """The calls that were still in flight when the run ended or was
    stopped, ended then: at the moment the run was stopped, or when their
    process ended. Returns them ({id(call): Unfinished}), when and why the
    run was stopped (None if it ended by itself), and the pending waits for
    a child, by the child's pid where the kernel said it ({id(call): (kind,
    pid, number)})."""
    snapshot, zero, scale = recording.snapshot, record.zero, record.speed
    in_flight = [(task, i, call) for task, task_calls in record.calls.items()
                 for i, call in enumerate(task_calls) if call.end is None]
    last = max((c.end for cs in record.calls.values() for c in cs[-16:] if c.end is not None), default=0)
    at, stop = None, None
    if snapshot is not None:
        # The program's clock runs speed times as fast as the real one that the
        # watch reads; a hang began when the last thread began to wait.
        starts = [call.start for _, _, call in in_flight]
        if snapshot.reason == "deadlock":
            at = max(starts + [last]) + (snapshot.seconds - snapshot.hung_since) * scale * 1e9
        else:
            at = max(starts + [last, (snapshot.clock - zero) * scale])
        at = int(at)
        stop = (snapshot.reason, at, snapshot.by or "Ctrl-C")
    ends = process_ends(record)
    live = {(p.thread.pid, p.thread.tid): p for p in snapshot.pending} if snapshot is not None else {}
    unfinished, targets = {}, {}
    innermost = {}
    for task, i, call in in_flight:
        if task not in innermost or call.start >= innermost[task][1].start:
            innermost[task] = (i, call)
    for task, i, call in in_flight:
        end = at if at is not None else max(call.start, ends.get(task[0], last))
        closed = call._replace(end=max(call.start, end))
        record.calls[task][i] = closed
        pending = live.get(task)
        if pending is None or innermost[task][1] is not call:
            unfinished[id(closed)] = Unfinished(None, b"", None)
            continue
        thread = pending.thread
        unfinished[id(closed)] = Unfinished(thread, pending.memory, site(pending.frames, call.caller))
        if call.name in ("wait", "waitpid") and thread.wait and thread.wait[0] == "child":
            targets[id(closed)] = ("pid", thread.pid, thread.wait[1])
    return unfinished, stop, targets


def process_ends(record):
    """{pid: when each process ended}: when it died of a signal or called
    exit, else its last recorded moment."""
    ends = {}
    for (pid, _), task_calls in record.calls.items():
        moments = [c.end if c.end is not None else c.start for c in task_calls[-16:]]
        if moments:
            ends[pid] = max(ends.get(pid, 0), max(moments))
    for (pid, _), life in record.lives.items():
        for moment in (life.began, life.ended):
            if moment is not None:
                ends[pid] = max(ends.get(pid, 0), moment)
    for pid, (moment, _, _) in record.endings.items():
        ends[pid] = max(ends.get(pid, 0), moment)
    return ends


def lives_of(record, order, end, stop):
    """{task: (began, ended)}: a thread's life from its creation, or its
    process's start, to its end, its process's end, or the moment the run
    was stopped; within the run."""
    starts = {}
    for image in record.images:
        starts.setdefault(image.pid, image.start)
    ends = process_ends(record)
    lives = {}
    for task in order:
        life = record.lives.get(task)
        task_calls = record.calls.get(task, [])
        began = life.began if life is not None and life.began is not None else \
            starts.get(task[0], task_calls[0].start if task_calls else 0)
        if life is not None and life.ended is not None:
            ended = life.ended
        elif stop is not None:
            ended = stop[1]
        else:
            ended = ends.get(task[0], end)
        if task_calls:
            ended = max(ended, max(call.end for call in task_calls[-16:]))
        lives[task] = (max(0, began), min(max(began, ended), end))
    return lives


def check_lines(strays, lost, recording):
    warnings = []
    if strays:
        warnings.append(f"{len(strays)} lines reached the terminal from calls that are not traced, such as "
                        f"{strays[0]!r}: each is placed on the thread that last ended a call before it arrived "
                        "and was not waiting then")
    if lost and recording.snapshot is None and "killed" not in recording.ended:
        warnings.append(f"the record is not whole: {len(lost)} writes are not on the terminal")
    return warnings
