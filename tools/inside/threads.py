"""Who is who: each thread and process named by its role, the tracks in
order, and whom each join and wait waited for.

A process is main, or parent and child N where it forks. A thread is named
by what it runs: its routine (producer; consumer 1, consumer 2 where one
routine runs in several threads), a C++ callable as cxx.py names it, and
our own programs' routines by their roles (Baker 1). The recording library
wrote each creation with the thread it made and the handle it wrote."""
import os
from collections import defaultdict

from . import cxx
from .calls import CHILD_WAITS, CREATES, THREAD_JOINS

ROUTINE_ROLES = {"Bake": "Baker", "Eat": "Eater", "tFunc": "worker"}


def signed(value, bits=32):
    value &= (1 << bits) - 1
    return value - (1 << bits) if value >> (bits - 1) else value


def succeeded(call):
    return call.ret is None or signed(call.ret) == 0


def routine_role(name):
    return ROUTINE_ROLES.get(name, name)


def processes(calls, images):
    """Each process's role, and the processes in track order (calls: the
    rare calls of each task, forks among them). A process is
    a child when its parent is one of the run's (fork, system() and
    posix_spawn alike); one that runs another program than the first says
    which."""
    first_image = {}
    for image in images:  # an exec keeps the process's first start, and names the new program
        first_image.setdefault(image.pid, image)
    programs = {image.pid: image.program for image in images}
    pids = sorted(set(first_image) | {pid for pid, _ in calls})
    parents = {pid: image.parent for pid, image in first_image.items() if image.parent in first_image}
    # Children in the order they were made: by the fork that returned each (its parent's record), else as they began.
    forked = {call.ret: call.start for task_calls in calls.values() for call in task_calls
              if call.name == "fork" and call.ret is not None and call.ret > 0}
    children = sorted((pid for pid in pids if pid in parents),
                      key=lambda p: (forked.get(p, first_image[p].start if p in first_image else 0), p))
    roots = [pid for pid in pids if pid not in parents]
    first = programs.get(roots[0]) if roots else None
    roles = {}
    for pid in pids:
        if pid in parents:
            role = "child" if len(children) == 1 else f"child {children.index(pid) + 1}"
            program = programs.get(pid, first)
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


def creation_name(creation, symbols):
    """What the created thread runs: a C++ Callable (its argument is a
    std::thread's state), or a C routine's name."""
    return cxx.callable_of(creation, symbols) or cxx.Callable(routine_role(symbols.routine(creation.routine)))


def name_tasks(calls, rare, images, creations, runs):
    """roles {task: role}; the tracks in order; {id(creating call): role}.
    runs: {id(creation): what it runs}, from creation_name()."""
    roles, pids = processes(rare, images)
    for pid in pids:
        calls.setdefault((pid, pid), [])
    made = [c for c in creations if c.result == 0 and c.tid is not None]
    names = numbered(cxx.role_names([runs.get(id(c)) for c in made]))
    created, order = {}, []
    by_creator = defaultdict(list)
    for task, task_calls in rare.items():
        by_creator[task] += [call for call in task_calls if call.name in CREATES]
    for creation, name in zip(made, names):
        task = (creation.pid, creation.tid)
        roles[task] = name
        calls.setdefault(task, [])  # a thread that made no recorded call has a track all the same
        for call in by_creator.get((creation.pid, creation.creator), []):
            if call.start <= creation.start and creation.end is not None and call.end is not None \
                    and creation.end <= call.end and id(call) not in created:
                created[id(call)] = name
                break
    for pid in pids:
        order.append((pid, pid))
        order += [(c.pid, c.tid) for c in made if c.pid == pid]
        order += sorted(task for task in calls if task[0] == pid and task not in order)
    for task in calls:
        roles.setdefault(task, f"thread {task[1]}")
    return roles, order, created


def ends(calls):
    """When each task was last seen: the end of its last call, or one it is in."""
    return {task: max(c.end for c in cs[-16:]) for task, cs in calls.items() if cs}


def join_targets(calls, rare, roles, unfinished, creations):
    """Whom each join and wait waited for: {id(call): role}, and which of them
    blocked: those during which the thread or child ended. A join's thread
    is the one whose handle (or std::thread) it names."""
    targets, blocked = {}, set()
    last = ends(calls)
    process_end = defaultdict(int)
    for (pid, tid), end in last.items():
        process_end[pid] = max(process_end[pid], end)
    for task, task_calls in rare.items():
        pid = task[0]
        for call in task_calls:
            if call.name in THREAD_JOINS:
                target = join_target(creations, pid, call)
                if target is not None:
                    targets[id(call)] = roles.get(target, f"thread {target[1]}")
                    if last.get(target, 0) > call.start or id(call) in unfinished:
                        blocked.add(id(call))
            elif call.name in CHILD_WAITS:
                child = call.args[0] if call.name == "waitpid" and call.args[0] > 0 else None
                if id(call) not in unfinished and call.ret is not None and call.ret > 0:
                    child = call.ret
                if child is not None and (child, child) in roles:
                    targets[id(call)] = roles[(child, child)]
                    if call.start < process_end[child] or id(call) in unfinished:
                        blocked.add(id(call))
    return targets, blocked


def join_target(creations, pid, call):
    """The thread that a join names, by the handle that it gives (a
    pthread_t, or the one that a std::thread held when it was joined): the
    latest creation of a thread with that handle before the join. A
    std::thread that holds no thread (moved from, or joined already) names
    none: its join throws."""
    handle = call.args[1] if call.name == "_ZNSt6thread4joinEv" else call.args[0]
    if not handle:
        return None
    found = None
    for creation in creations:
        if creation.pid == pid and creation.start <= call.start and creation.tid is not None \
                and creation.handle == handle:
            found = creation
    return (found.pid, found.tid) if found else None


def resolve(pending_targets, roles):
    """The roles that pending waits wait for: a thread id, or a child's pid."""
    targets = {}
    for call_id, (kind, pid, number) in pending_targets.items():
        if kind == "tid":
            targets[call_id] = roles.get((pid, number), f"thread {number}")
        else:
            targets[call_id] = roles.get((number, number), f"process {number}") if number > 0 else "any child"
    return targets
