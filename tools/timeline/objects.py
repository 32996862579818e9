"""The objects of a run, each named as the program's source names it.

An object is the address that a call's argument points to, of the kind that
the table of calls gives that argument. It is named, in this order of
trust: by the expression of the program's own source lines that call on it
(a future's ft, a lock on the heap q->lock: from each call's caller, the
stack a wait kept, or the live stack of a call that hung), by a variable
at a fixed address and the types of the debugging information
(buffer.notFull, forks[2]), by a local variable of main's frame, by the
one expression that the program's calls on the only unnamed object of its
kind write, by sem_open's name, or else by its address. A private object
(a mutex, a semaphore of pshared 0) that several processes use under one
name is a different object in each, and is named with its process: fork
copied it. A future's shared state has no name of its own: futures no
source line names are numbered in the order they are first used."""
from collections import defaultdict

import numpy as np

from . import debuginfo as dwarf
from . import calls
from .calls import COND_WAITS, OBJECTS_OF, TABLE
from .model import CALL_SYMBOLS, NO_OBJECT, Obj, groups
from .sources import PLAIN_CALL, call_sites, from_code, from_source

O_CREAT = 0o100


def kinds_of_arguments():
    """Two columns over the table's calls: the kind of the object that the
    first and the second argument point to ("" for none)."""
    first = [TABLE[s].objects[0] if TABLE[s].objects else "" for s in CALL_SYMBOLS]
    second = [TABLE[s].objects[1] if len(TABLE[s].objects) > 1 else "" for s in CALL_SYMBOLS]
    return np.array(first, dtype=object), np.array(second, dtype=object)


FIRST_KIND, SECOND_KIND = kinds_of_arguments()
KIND_NAMES = sorted(set(FIRST_KIND) | set(SECOND_KIND))  # "" first: no object
FIRST_CODE, SECOND_CODE = (np.array([KIND_NAMES.index(k) for k in kinds], dtype=np.int8)
                           for kinds in (FIRST_KIND, SECOND_KIND))
SEM_OPEN, SEM_INIT = CALL_SYMBOLS.index(calls.SEM_OPEN), CALL_SYMBOLS.index(calls.SEM_INIT)


def about(rows, column):
    """The kind codes (KIND_NAMES) and addresses of the objects that the
    calls' first (column 0) or second argument points to, and which calls
    have one."""
    codes = (FIRST_CODE, SECOND_CODE)[column][rows["call"]]
    addresses = rows["args"][:, column]
    return codes, addresses, (codes != 0) & (addresses != 0)


def uses(rows, column):
    """{(kind, address)} of the objects of the calls' argument (column)."""
    codes, addresses, chosen = about(rows, column)
    # A user-space address fits in 56 bits: the kind goes above it.
    keys = np.unique((codes[chosen].astype(np.uint64) << np.uint64(56)) | addresses[chosen]).tolist()
    return {(KIND_NAMES[key >> 56], key & ((1 << 56) - 1)) for key in keys}


class Names:
    """The names the analysis gives objects (by source lines, local
    variables, the program's code), over those that symbols give."""

    def __init__(self, symbols):
        self.symbols = symbols
        self.given, self.types = {}, {}  # address: its name; address: the type of a local variable

    def give(self, address, name):
        self.given[address] = name

    def give_locals(self, found):
        """Names the local variables of main's frame, {address: (name, type)};
        a name that a source line gave stays: the frame is a guess, its types one of its kind."""
        for address, (name, type_die) in found.items():
            self.given.setdefault(address, name)
            self.types[address] = type_die

    def object(self, address, kind):
        return self.given.get(address) or self.symbols.object(address, kind)

    def type_name(self, address):
        """The name of the type of the synchronisation object at address, or None."""
        if address in self.types:
            return dwarf.text(self.types[address])
        return self.symbols.type_name(address)


class Objects:
    """The objects that the calls of the prepared threads are about: found,
    then named (name()), then numbered for each track's calls (columns())."""

    def __init__(self, prepared, names):
        """Finds the objects of the prepared threads' calls, and which processes use each."""
        self.names = names
        self.used = defaultdict(set)  # (kind, address): the pids that use it
        self.opened = {}  # sem_open's semaphore: its name
        self.shared = set()  # addresses of objects that processes share
        for (pid, _), work in prepared.items():
            calls = work.rows["call"]
            for column in (0, 1):
                for key in uses(work.rows, column):
                    self.used[key].add(pid)
            for i in np.nonzero(calls == SEM_OPEN)[0].tolist():
                address = int(work.rows["ret"][i])
                if work.rows["end"][i] >= 0 and address not in (0, -1):
                    self.used[("semaphore", address)].add(pid)
                    self.opened[address] = work.text(i).decode(errors="replace")
                    self.shared.add(address)
            for i in np.nonzero(calls == SEM_INIT)[0].tolist():
                if work.rows["args"][i, 1]:
                    self.shared.add(int(work.rows["args"][i, 0]))
        self.several = {key for key, pids in self.used.items() if len(pids) > 1 and key[1] not in self.shared}
        self.list, self.index = [], {}  # [Obj]; (kind, address, pid or None): its index
        self.futures = 0

    def name(self, kind, address, pid, roles):
        """The object's index, made on its first use."""
        key = (kind, address, pid if (kind, address) in self.several else None)
        found = self.index.get(key)
        if found is not None:
            return found
        name = self.opened.get(address) or self.names.object(address, kind)
        if kind == "future" and address not in self.names.given:
            self.futures += 1
            name = f"future {self.futures}"
        copy_of = ""
        if key[2] is not None:
            copy_of, name = name, f"{name} in {roles.get((pid, pid), pid)}"
        self.index[key] = len(self.list)
        self.list.append(Obj(len(self.list), kind, name, address, copy_of))
        return self.index[key]

    def columns(self, pid, work, roles):
        """The first and second objects of a thread's calls: two columns of
        indices in the run's objects, NO_OBJECT where a call has none."""
        rows = work.rows
        columns = []
        for column in (0, 1):
            found = np.full(len(rows), NO_OBJECT, dtype=np.int32)
            codes, addresses, chosen = about(rows, column)
            if column == 0:  # sem_open's semaphore is what it returned
                opened = (rows["call"] == SEM_OPEN) & (rows["end"] >= 0)
                for i in np.nonzero(opened)[0].tolist():
                    address = int(rows["ret"][i])
                    if address not in (0, -1):
                        found[i] = self.name("semaphore", address, pid, roles)
            for kind, address in uses(rows, column):
                number = self.name(kind, address, pid, roles)
                found[chosen & (codes == KIND_NAMES.index(kind)) & (addresses == address)] = number
            columns.append(found)
        return columns


def addresses_to_name(prepared, symbols):
    """{(kind, address, whether it is a condition wait's mutex): [chains of
    return addresses]} of the calls on objects that no variable at a fixed
    address holds: where the program made each call on it, outward. Calls
    alike (the same object, caller and stack) are looked at once."""
    chains = defaultdict(list)
    tool = {}
    for work in prepared.values():
        rows = work.rows
        for column in (0, 1):
            code, addresses, chosen = about(rows, column)
            unnamed = [a for a in np.unique(addresses[chosen]).tolist() if symbols.variable(a) is None]
            if not unnamed:
                continue
            pick = np.nonzero(chosen & np.isin(addresses, unnamed))[0]
            stacks = work.stack_numbers(pick)
            for group in groups(addresses[pick], work.callers(pick), stacks, rows["call"][pick]):
                i = int(pick[group[0]])
                chain = tuple(at for at in (work.caller(i), *work.stack(i))
                              if at and not tool.setdefault(at, symbols.in_tool(at)))
                if chain:
                    lock = column == 1 and CALL_SYMBOLS[rows["call"][i]] in COND_WAITS
                    chains[(KIND_NAMES[code[i]], int(addresses[i]), lock)].append(chain)
    return chains


def name_from_sources(prepared, hung_sites, symbols, names):
    """Names the objects that no variable at a fixed address holds (on a
    stack, on the heap, a future's shared state) by the expression that the
    program's own source lines of the calls on them write, where the lines
    that name one agree: the line of each call's caller, passing over the
    C++ library's header code by the return addresses the record kept, and
    the line of a call that hung, by its live stack (hung_sites:
    {(kind, address, lock): [(file, line)]})."""
    chains = addresses_to_name(prepared, symbols)
    lines = symbols.sites({at for found in chains.values() for chain in found for at in chain})
    for about in chains.keys() | hung_sites.keys():
        kind, address, lock = about
        places = list(hung_sites.get(about, ()))
        places += [next((lines[at] for at in chain if lines.get(at)), None) for chain in chains.get(about, ())]
        said = {from_source(kind, place, lock=lock) for place in places if place} - {None}
        if len(said) == 1:  # the lines that name it agree
            names.give(address, said.pop())


def name_from_code(used, symbols, names):
    """An object still without a name (on the heap), the only one of its
    kind so, is named by the expression that the program's own calls on
    objects of that kind write, where all of them that do not name another
    object write one (pthread_mutex_lock(&q->lock): q->lock). used:
    {(kind, address)}."""
    unnamed = defaultdict(set)
    for kind, address in used:
        if names.object(address, kind).startswith("0x"):
            unnamed[kind].add(address)
    alone = {kind: addresses.pop() for kind, addresses in unnamed.items() if len(addresses) == 1}
    if not alone or not symbols.program:
        return
    functions = {kind: {f for f in OBJECTS_OF.get(kind, ()) if PLAIN_CALL.match(f)} for kind in alone}
    sites = call_sites(symbols.program, set().union(*functions.values()))
    for kind, address in alone.items():
        named = {names.object(a, k) for k, a in used if k == kind and a != address}
        found = from_code(kind, sites, functions[kind]) - named
        if len(found) == 1:
            names.give(address, found.pop())
