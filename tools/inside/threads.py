"""Who is who: each thread and process named by its role, the tracks in
order, and whom each join and wait waited for.

A process is main, or parent and child N where it forks. A thread is named
by what it runs: its routine (producer; consumer 1, consumer 2 where one
routine runs in several threads), a C++ callable as cxx.py names it, and
our own programs' routines by their roles (Baker 1). The helper library
says which thread each creation made and the handle it wrote; without it,
threads are matched to creations by the order of their ids."""
import os
from collections import defaultdict

from . import cxx
from .calls import ASYNC_WAIT, CHILD_WAITS, CREATES, THREAD_JOINS
from .read import END, NAME, RAW, START, arguments, returned

ROUTINE_ROLES = {"Bake": "Baker", "Eat": "Eater", "tFunc": "worker"}


def signed(value, bits=32):
    value &= (1 << bits) - 1
    return value - (1 << bits) if value >> (bits - 1) else value


def succeeded(call):
    value = returned(call)
    return value is None or signed(value) == 0


def routine_role(name):
    return ROUTINE_ROLES.get(name, name)


def processes(calls, rare, forks, started):
    """Each process's role, and the processes in track order. A process is a
    child when uftrace saw it forked, or the helper library saw it begin with
    a parent in the run (system() and posix_spawn make theirs without
    fork); one that runs another program than the first says which."""
    parents = dict(forks)
    parents.update({pid: s.parent for pid, s in started.items()})
    pids = sorted({pid for pid, _ in calls} | set(forks) | set(started))
    parents = {pid: parent for pid, parent in parents.items() if parent in pids}
    fork_ends = {signed(returned(c)): c[END] for cs in rare.values() for c in cs
                 if c[NAME] == "fork" and returned(c) is not None and signed(returned(c)) > 0}
    children = sorted((pid for pid in pids if pid in parents),
                      key=lambda p: (fork_ends.get(p, started[p].at if p in started else 0), p))
    roots = [pid for pid in pids if pid not in parents]
    first = started[roots[0]].program if roots and roots[0] in started else None
    roles = {}
    for pid in pids:
        if pid in parents:
            role = "child" if len(children) == 1 else f"child {children.index(pid) + 1}"
            program = started[pid].program if pid in started else first
            if program and first and program != first:
                role += f" ({os.path.basename(program)})"
            roles[(pid, pid)] = role
        else:
            roles[(pid, pid)] = "parent" if children else "main"
    return roles, roots + children


def numbered(bases):
    """Names made unique in order: consumer 1, consumer 2 where a name repeats."""
    counts, seen, names = defaultdict(int), defaultdict(int), []
    for base in bases:
        counts[base] += 1
    for base in bases:
        seen[base] += 1
        names.append(f"{base} {seen[base]}" if counts[base] > 1 else base)
    return names


def name_tasks(calls, rare, forks, symbols, creations, runs, started):
    """roles {task: role}; the tracks in order; {id(creating call): role}.
    runs: {id(creation): what it runs}, from creation_name(); started: the
    processes as the helper library saw them begin."""
    roles, pids = processes(calls, rare, forks, started)
    for pid in pids:
        calls.setdefault((pid, pid), [])
    if creations:
        return with_helper(calls, rare, roles, pids, creations, runs)
    return by_order(calls, rare, roles, pids, symbols)


def creation_name(creation, symbols):
    """What the created thread runs: a C++ Callable (its argument is a
    std::thread's state), or a C routine's name."""
    return cxx.callable_of(creation, symbols) or cxx.Callable(routine_role(symbols.routine(creation.routine)))


def with_helper(calls, rare, roles, pids, creations, runs):
    made = [c for c in creations if c.result == 0 and c.tid is not None]
    names = numbered(cxx.role_names([runs.get(id(c)) for c in made]))
    created, order = {}, []
    by_creator = defaultdict(list)
    for task, task_calls in rare.items():
        by_creator[task] += [call for call in task_calls if call[NAME] in CREATES]
    for creation, name in zip(made, names):
        task = (creation.pid, creation.tid)
        roles[task] = name
        calls.setdefault(task, [])  # a thread that made no traced call has a track all the same
        # The recorded call that made it holds the helper's own call.
        for call in by_creator.get((creation.pid, creation.creator), []):
            if call[START] <= creation.start and creation.end <= call[END] and id(call) not in created:
                created[id(call)] = name
                break
    for pid in pids:
        order.append((pid, pid))
        order += [(c.pid, c.tid) for c in made if c.pid == pid]
        order += sorted(task for task in calls if task[0] == pid and task not in order)
    for task in calls:
        roles.setdefault(task, f"thread {task[1]}")
    return roles, order, created


def by_order(calls, rare, roles, pids, symbols):
    """Without the helper: the kernel hands out thread ids in order (cyclic
    at pid_max); a thread that made no traced call is not in the record, so
    threads are matched to the latest creation that began before their first
    call."""
    with open("/proc/sys/kernel/pid_max") as limit:
        pid_max = int(limit.read())
    creates_in = defaultdict(list)
    for (pid, tid), task_calls in rare.items():
        for call in task_calls:
            if call[NAME] in CREATES and succeeded(call):
                creates_in[pid].append(call)
    all_creates = sorted((c for cs in creates_in.values() for c in cs), key=lambda c: c[START])
    bases = []
    for call in all_creates:
        args = arguments(call[RAW])
        bases.append(routine_role(symbols.routine(args[1])) if call[NAME] == "pthread_create" and len(args) > 1
                     else "thread")
    numbers = dict(zip((id(c) for c in all_creates), numbered(bases)))
    order = []
    for pid in pids:
        order.append((pid, pid))
        creates = sorted(creates_in[pid], key=lambda c: c[START])
        threads = sorted((tid for p, tid in calls if p == pid and tid != pid), key=lambda tid: (tid - pid) % pid_max)
        matched = match_threads(threads, creates, calls, pid)
        for tid in threads:
            roles[(pid, tid)] = numbers[id(matched[tid])] if tid in matched else f"thread {tid}"
            order.append((pid, tid))
    for task in calls:
        roles.setdefault(task, f"thread {task[1]}")
    return roles, order, numbers


def match_threads(threads, creates, calls, pid):
    if len(threads) == len(creates):
        return dict(zip(threads, creates))
    matched, limit = {}, len(creates)
    for tid in reversed(threads):  # the latest creation that began before the thread's first call
        first = calls[(pid, tid)][0][START] if calls[(pid, tid)] else float("inf")
        at = limit - 1
        while at >= 0 and creates[at][START] > first:
            at -= 1
        if at < 0:
            break
        matched[tid], limit = creates[at], at
    return matched


def ends(calls):
    """When each task was last seen: the end of its last call, or one it is in."""
    return {task: max(c[END] for c in cs[-16:]) for task, cs in calls.items() if cs}


def join_targets(calls, rare, roles, unfinished, creations, joins=()):
    """Whom each join and wait waited for: {id(call): role}, and which of them
    blocked: those during which the thread or child ended. With the helper a
    join's thread is the one whose handle (or std::thread) it names;
    without, it is found from the joins' handles where they tell (handles()),
    or else a join that blocked takes the thread that ended last before it
    returned, and one that did not the earliest created thread not yet
    joined."""
    targets, blocked, joined_in = {}, set(), defaultdict(set)
    last = ends(calls)
    process_end = defaultdict(int)
    for (pid, tid), end in last.items():
        process_end[pid] = max(process_end[pid], end)
    by_handle = handles(rare, roles, unfinished) if not creations else {}
    for task, task_calls in rare.items():
        pid = task[0]
        threads = [t for t in roles if t[0] == pid and t[1] != pid]  # in order of creation
        joined = joined_in[pid]  # a thread is joined once, by any thread of its process
        for call in task_calls:
            if call[NAME] in THREAD_JOINS and id(call) not in unfinished:
                handle = (arguments(call[RAW]) or (None,))[0]
                if creations:
                    target = helper_target(creations, pid, handle, call, joins)
                    if target is not None:
                        joined.add(target)
                        targets[id(call)] = roles.get(target, f"thread {target[1]}")
                        if last.get(target, 0) > call[START]:
                            blocked.add(id(call))
                    continue
                left = [t for t in threads if t not in joined and t in last]
                ended = [t for t in left if call[START] < last[t] <= call[END]]
                done = [t for t in left if last[t] <= call[START]]
                target = by_handle.get((pid, handle))
                if target not in ended + done:
                    target = max(ended, key=lambda t: last[t]) if ended else done[0] if done else None
                if target in ended:
                    blocked.add(id(call))
                if target:
                    joined.add(target)
                    targets[id(call)] = roles[target]
            elif call[NAME] in CHILD_WAITS and id(call) not in unfinished and returned(call) is not None:
                child = signed(returned(call))
                if (child, child) in roles:
                    targets[id(call)] = roles[(child, child)]
                    if call[START] < process_end[child]:
                        blocked.add(id(call))
    return targets, blocked


def helper_target(creations, pid, handle, call, joins=()):
    """The thread that a join names: by its handle (pthread_join) or its
    std::thread (std::thread::join), the latest creation before the join.
    A std::thread may have moved since its creation (in a vector that grew):
    the handle it held when the helper saw it joined names the thread then."""
    by_handle = call[NAME] in ("pthread_join", ASYNC_WAIT)
    if not by_handle:
        held = next((join.handle for join in joins if join.pid == pid and join.this == handle and join.handle
                     and call[START] <= join.start <= call[END]), None)
        if held is not None:
            handle, by_handle = held, True
    found = None
    for creation in creations:
        if creation.pid == pid and creation.start <= call[START] and creation.tid is not None \
                and (creation.handle if by_handle else creation.where) == handle:
            found = creation
    return (found.pid, found.tid) if found else None


def handles(rare, roles, unfinished):
    """{(pid, handle): thread} where the joins' handles tell. A handle is the
    address of the thread's descriptor, at the top of a stack that glibc maps
    for it, each below the one before; so while no stack is used twice (every
    handle joined is a different one, as many as the threads), the highest
    handle is the first thread created."""
    found = {}
    for pid in {task[0] for task in rare}:
        joins = [(arguments(call[RAW]) or (None,))[0] for task, task_calls in rare.items() if task[0] == pid
                 for call in task_calls if call[NAME] == "pthread_join" and id(call) not in unfinished]
        threads = [t for t in roles if t[0] == pid and t[1] != pid]
        if joins and len(set(joins)) == len(joins) == len(threads):
            found.update({(pid, handle): thread for handle, thread in zip(sorted(joins, reverse=True), threads)})
    return found


def resolve(pending_targets, roles):
    """The roles that pending joins and waits wait for: a thread id, or a child's pid."""
    targets = {}
    for call_id, (kind, pid, number) in pending_targets.items():
        if kind == "tid":
            targets[call_id] = roles.get((pid, number), f"thread {number}")
        else:
            targets[call_id] = roles.get((number, number), f"process {number}") if number > 0 else "any child"
    return targets
