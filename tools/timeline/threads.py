"""Who is who: each thread and process named by its role, the tracks in
order, and whom each join and wait waited for.

A process is main, or parent and child N where it forks. A thread is named
by what it runs: its routine (producer; consumer 1, consumer 2 where one
routine runs in several threads), a C++ callable as cxx.py names it, and
our own programs' routines by their roles (Baker 1). The recording library
wrote each creation with the thread it made, whose handle its beginning
wrote."""
import os
from collections import defaultdict

import numpy as np

from . import cxx
from . import calls
from .calls import CHILD_WAITS, CREATES, JOIN, TABLE, THREAD_JOINS
from .model import CALL_INDEX, CALL_SYMBOLS, marks
from .programs import routine_role

FORK = CALL_INDEX[calls.FORK]
CREATE_CALLS, JOIN_CALLS, CHILD_CALLS = marks(CREATES), marks(THREAD_JOINS), marks(CHILD_WAITS)


def signed(value, bits=32):
    value &= (1 << bits) - 1
    return value - (1 << bits) if value >> (bits - 1) else value


def numbered(bases):
    """Names made unique in order: consumer 1, consumer 2 where a name repeats."""
    counts, seen, names = defaultdict(int), defaultdict(int), []
    for base in bases:
        counts[base] += 1
    for base in bases:
        seen[base] += 1
        names.append(f"{base} {seen[base]}" if counts[base] > 1 else base)
    return names


def what_runs(creation, symbols):
    """What the created thread runs: a C++ Callable (its argument is a
    std::thread's state), or a C routine's name."""
    return cxx.callable_of(creation, symbols) or cxx.Callable(routine_role(symbols.routine(creation.routine)))


def forks(prepared):
    """{child pid: when its parent's fork began}, from the forks that returned each child."""
    found = {}
    for work in prepared.values():
        rows = work.rows
        for i in np.nonzero((rows["call"] == FORK) & (rows["ret"] > 0) & ~rows["unfinished"])[0].tolist():
            found[int(rows["ret"][i])] = int(rows["start"][i])
    return found


def processes(prepared, images):
    """Each process's role, and the processes in track order. A process is
    a child when its parent is one of the run's (fork, system() and
    posix_spawn alike), numbered in the order they were made; one that
    runs another program than the first says which."""
    first_image = {}
    for image in images:  # an exec keeps the process's first start, and names the new program
        first_image.setdefault(image.pid, image)
    programs = {image.pid: image.program for image in images}
    pids = sorted(set(first_image) | {pid for pid, _ in prepared})
    parents = {pid: image.parent for pid, image in first_image.items() if image.parent in first_image}
    forked = forks(prepared)
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


def name_tracks(prepared, images, creations, runs):
    """(roles {task: role}, the tracks in order, {(task, row): role} of the
    calls that made a thread). runs: {(pid, creation number): Callable}."""
    roles, pids = processes(prepared, images)
    made = [c for c in creations if c.result == 0 and c.tid is not None]
    names = numbered(cxx.role_names([runs.get((c.pid, c.sequence)) for c in made]))
    created = {}
    for creation, name in zip(made, names):
        roles[(creation.pid, creation.tid)] = name
        work = prepared.get((creation.pid, creation.creator))
        if work is None:
            continue
        rows = work.rows
        # The program's call that made it holds the creation: itself, or std::thread's start around libstdc++'s.
        holders = np.nonzero(CREATE_CALLS[rows["call"]] & (rows["start"] <= creation.start)
                             & (rows["end"] >= creation.end))[0]
        for row in holders.tolist():
            if (work_key := ((creation.pid, creation.creator), row)) not in created:
                created[work_key] = name
                break
    order = []
    for pid in pids:
        order.append((pid, pid))
        order += [(c.pid, c.tid) for c in made if c.pid == pid]
        order += sorted(task for task in prepared if task[0] == pid and task not in order)
    for task in list(prepared) + order:
        roles.setdefault(task, f"thread {task[1]}")
    return roles, order, created


def join_target(creations, pid, symbol, args, start):
    """The thread that a join names, by the handle that it gives (a
    pthread_t, or the one that a std::thread held when it was joined): the
    latest creation of a thread with that handle before the join. A
    std::thread that holds no thread (moved from, or joined already) names
    none: its join throws."""
    handle = int(args[1] if symbol == JOIN else args[0])
    if not handle:
        return None
    found = None
    for creation in creations:
        if creation.pid == pid and creation.start <= start and creation.tid is not None and creation.handle == handle:
            found = creation
    return (found.pid, found.tid) if found else None


def joins(prepared, roles, creations, lives, live_waits):
    """Whom each join and wait waited for ({(task, row): the target's
    role}), and which of them blocked: those during which the thread or
    child ended, or that never ended. lives: {task: (began, ended)};
    live_waits: {task: the child pid that its wait waited for, as the kernel
    showed it when the run was stopped}. blocked: {task: {row}}."""
    targets, blocked = {}, defaultdict(set)
    process_end = defaultdict(int)
    for (pid, _), (_, ended) in lives.items():
        process_end[pid] = max(process_end[pid], ended)
    for task, work in prepared.items():
        rows = work.rows
        for row in np.nonzero(JOIN_CALLS[rows["call"]])[0].tolist():
            target = join_target(creations, task[0], CALL_SYMBOLS[rows["call"][row]], rows["args"][row],
                                 rows["start"][row])
            if target is not None:
                targets[(task, row)] = roles.get(target, f"thread {target[1]}")
                if lives.get(target, (0, 0))[1] > rows["start"][row] or rows["unfinished"][row]:
                    blocked[task].add(row)
        for row in np.nonzero(CHILD_CALLS[rows["call"]])[0].tolist():
            symbol = CALL_SYMBOLS[rows["call"][row]]
            child = signed(int(rows["args"][row, 0])) if "pid" in TABLE[symbol].args else None
            child = child if child and child > 0 else None
            if rows["unfinished"][row] and task in live_waits:
                child = live_waits[task]
            elif not rows["unfinished"][row] and rows["ret"][row] > 0:
                child = int(rows["ret"][row])
            if child is None:
                if rows["unfinished"][row]:
                    targets[(task, row)] = "any child"
                    blocked[task].add(row)
                continue
            targets[(task, row)] = roles.get((child, child), f"process {child}")
            if rows["start"][row] < process_end.get(child, 0) or rows["unfinished"][row]:
                blocked[task].add(row)
    return targets, blocked
