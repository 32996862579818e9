"""C++ as its source is written: what each std::thread runs, and which C++20
object a futex word belongs to.

A std::thread (std::jthread, std::async) keeps what it runs in a state
object that it hands to pthread_create; the recording library keeps a copy of
that object's memory, and the debugging information its layout: the
callable is the first element of a std::tuple inside it. A function is
named by its name, a member function by Class::method, a lambda by where it
is written, and a std::async task by the function it runs.

C++20's semaphores, latches, barriers and atomic waits are inlined into the
program, and call the futex system call on the object's own word, or, for
a word that is not an int, on a slot of libstdc++'s waiter pool, chosen by
the object's address: Futexes tells which object a word is."""
import re
import struct
from dataclasses import dataclass

from . import debuginfo as dwarf
from .calls import FUTEX_CALLS

FUTEX_WAIT_OPS, FUTEX_WAKE_OPS = (0, 9), (1, 10)  # without FUTEX_PRIVATE_FLAG
FUTEX_COMMAND = 0x7F
POOL = "std::__detail::__waiter_pool_base::_S_for(void const*)::__w"
POOL_SLOTS, POOL_SLOT_BYTES = 16, 128  # 16 slots of two cache lines
STATE_VTABLE = "vtable for std::thread::_State_impl<"


def word(data, offset):
    return struct.unpack_from("<Q", data, offset)[0] if data is not None and 0 <= offset <= len(data) - 8 else None


def memory_at(memory, address, size):
    """size bytes at address from the recording library's copies, or None."""
    for start, data in memory.items():
        if start <= address and address + size <= start + len(data):
            return data[address - start:address - start + size]
    return None


@dataclass
class Callable:
    """What a thread runs: its name, the line where a lambda is written (or
    None), whether it is a std::async task, the function a lambda is
    written in, and a std::async task's state object: (address, size)."""
    name: str
    line: int | None = None
    task: bool = False
    function: str | None = None
    state: tuple | None = None


def callable_of(creation, symbols):
    """What the thread that a std::thread made runs, or None when the
    creation was not a std::thread's."""
    state = creation.memory.get(creation.arg)
    vptr = word(state, 0)
    found = symbols.symbol(vptr) if vptr else None
    if not found or not found[0].startswith(STATE_VTABLE):
        return None
    run = word(memory_at(creation.memory, vptr, 24), 16)  # the vtable: two destructors, then _M_run
    where = symbols.offset(run) if run else None
    debug = symbols.debug(where[0]) if where else None
    die = debug.functions.get(where[1]) if debug else None
    if die is not None:
        found_type = state_type(die)
        if found_type is not None:
            named_callable = from_types(found_type, creation.arg, creation.memory, symbols)
            if named_callable:
                return named_callable
    return from_names(found[0][len("vtable for "):], state, creation.memory, symbols)


def state_type(run_die):
    """The type of the state object whose _M_run this is."""
    for attribute in ("DW_AT_abstract_origin", "DW_AT_specification"):
        if attribute in run_die.attributes:
            run_die = run_die.get_DIE_from_attribute(attribute)
    parent = run_die.get_parent()
    return parent if parent is not None and parent.tag in dwarf.STRUCTURES else None


def element(tuple_die, index):
    """(offset, type) of a std::tuple's element: libstdc++ keeps each in a
    _Head_base<index, ...> base, the last element first in memory."""
    die = dwarf.strip(tuple_die)
    if die is None:
        return None
    for child in die.iter_children():
        if child.tag != "DW_TAG_inheritance":
            continue
        place = child.attributes.get("DW_AT_data_member_location")
        at = place.value if place is not None and isinstance(place.value, int) else 0
        base = dwarf.strip(dwarf.type_of(child))
        if base is None:
            continue
        if (dwarf.text(base) or "").startswith(f"_Head_base<{index},"):
            found = dwarf.search(base, "_M_head_impl")
            return (at + found[0], found[1]) if found else None
        found = element(base, index)
        if found:
            return at + found[0], found[1]
    return None


def invoker_element(type_die, index, *members):
    """(offset, type) of element index of the tuple inside an _Invoker, reached through members."""
    offset = dwarf.member_offset(type_die, *members)
    if offset is None:
        return None
    holder = type_die
    for name in members:
        holder = dwarf.search(dwarf.strip(holder), name)[1]
    found = element(holder, index)
    return (offset + found[0], found[1]) if found else None


def from_types(state_die, address, memory, symbols):
    head = invoker_element(state_die, 0, "_M_func", "_M_t")
    if head is None:
        return None
    offset, type_die = head
    return describe(dwarf.strip(type_die), address + offset, memory, symbols,
                    lambda index: invoker_element(state_die, index, "_M_func", "_M_t"), address)


def describe(type_die, at, memory, symbols, elements, base):
    """The Callable whose value of this type lies at address at."""
    if type_die is None:
        return None
    tag, name = type_die.tag, dwarf.text(type_die) or ""
    if tag == "DW_TAG_pointer_type":
        target = word(memory_at(memory, at, 8), 0)
        return Callable(routine_name(symbols, target)) if target else None
    if tag == "DW_TAG_ptr_to_member_type":
        target = word(memory_at(memory, at, 8), 0)
        if target is None:
            return None
        if target & 1:  # a virtual function, by its place in the table
            owner = dwarf.strip(dwarf.type_of(type_die, "DW_AT_containing_type"))
            return Callable(f"{dwarf.text(owner) or '?'}::(virtual)")
        function = routine_name(symbols, target)
        if "_Async_state_impl" in function or "_Deferred_state" in function:
            return async_task(at, memory, symbols, elements, base)
        return Callable(function)
    if tag in dwarf.STRUCTURES and dwarf.is_lambda(type_die):
        function, line = dwarf.lambda_place(type_die)
        return Callable(f"lambda in {function or '?'}", line, function=function)
    if name.startswith("reference_wrapper<"):
        found = dwarf.search(type_die, "_M_data")
        pointee = dwarf.strip(dwarf.type_of(dwarf.strip(found[1]))) if found else None
        return Callable(dwarf.text(pointee) or name) if pointee is not None else Callable(name)
    if name.startswith("_Bind<"):
        found = dwarf.search(type_die, "_M_f")
        if found:
            return describe(dwarf.strip(found[1]), at + found[0], memory, symbols, elements, base)
    return Callable(name.split("<")[0] if name else "?")


def async_task(at, memory, symbols, elements, base):
    """A std::async thread runs a member of the async state object, the
    second element of its tuple; the state keeps the task in its _M_fn."""
    second = elements(1)
    if second is None:
        return None
    offset, pointer_type = second
    state = word(memory_at(memory, base + offset, 8), 0)
    state_die = dwarf.strip(dwarf.type_of(dwarf.strip(pointer_type)))
    if state is None or state_die is None:
        return None
    head = invoker_element(state_die, 0, "_M_fn", "_M_t")
    if head is None:
        return None
    found = describe(dwarf.strip(head[1]), state + head[0], memory, symbols,
                     lambda index: invoker_element(state_die, index, "_M_fn", "_M_t"), state)
    if found:
        found.task, found.state = True, (state, dwarf.size_of(state_die))
    return found


def routine_name(symbols, address):
    found = symbols.symbol(address)
    return found[0] if found and found[1] == 0 else hex(address)


def from_names(type_name, state, memory, symbols):
    """Without debugging information: the callable's type from the state's
    type name, and a function's address found among the state's words."""
    inner = re.search(r"std::tuple<(.*)>\s*>\s*>$", type_name)
    first = split_arguments(inner[1])[0] if inner else type_name
    lambda_in = re.match(r"(.*?)::\{lambda\(", first)
    if lambda_in:
        return Callable(f"lambda in {lambda_in[1]}", function=lambda_in[1])
    if "(*)" in first or "::*)" in first:
        functions = [found[0] for found in (symbols.symbol(word(state, at)) for at in range(8, len(state) - 7, 8))
                     if found and found[1] == 0 and found[3]]
        if "_Async_state_impl" in first:
            for at in range(8, len(state) - 7, 8):
                pointed = memory.get(word(state, at))
                inside = [symbols.symbol(word(pointed, i)) for i in range(0, len(pointed or b"") - 7, 8)]
                named_functions = [found[0] for found in inside if found and found[1] == 0 and found[3]]
                if named_functions:
                    found = Callable(named_functions[0], task=True)
                    found.state = (word(state, at), len(pointed))
                    return found
            return Callable("std::async task", task=True)
        return Callable(functions[0]) if functions else Callable("thread")
    return Callable(first.split("<")[0].strip() or "thread")


def split_arguments(text):
    """Template arguments at the top level of text."""
    parts, depth, current = [], 0, ""
    for character in text:
        if character in "<(":
            depth += 1
        elif character in ">)":
            depth -= 1
        if character == "," and depth == 0:
            parts.append(current.strip())
            current = ""
        else:
            current += character
    return parts + [current.strip()]


def role_names(callables):
    """Each Callable's name for its tracks; a lambda with its line where two
    lambdas of one function run as threads."""
    lines = {}
    for found in callables:
        if found and found.line is not None:
            lines.setdefault(found.function, set()).add(found.line)
    names = []
    for found in callables:
        if found is None:
            names.append("thread")
        elif found.line is not None and len(lines.get(found.function, ())) > 1:
            names.append(f"{found.name} at line {found.line}")
        else:
            names.append(found.name)
    return names


class Futexes:
    """Which C++ object a futex word belongs to: by its variable's type, or
    for a word of the waiter pool, by the objects whose address hashes to its
    slot."""

    def __init__(self, symbols):
        self.symbols, self.found, self.pool = symbols, {}, None

    def futex(self, args):
        """(kind, the object's address, whether it waits) of a futex call's
        (address, operation, value), or None."""
        address, op, value = (int(arg) for arg in args[:3])
        command = op & FUTEX_COMMAND
        if command not in FUTEX_WAIT_OPS + FUTEX_WAKE_OPS:
            return None
        if address not in self.found:
            self.found[address] = self.resolve(address, value if command in FUTEX_WAIT_OPS else None)
        found = self.found[address]
        return (found[0], found[1], command in FUTEX_WAIT_OPS) if found else None

    def resolve(self, address, value):
        symbols = self.symbols
        found = symbols.symbol(address)
        if found and found[0] == POOL:
            return self.slot(address, found[1] // POOL_SLOT_BYTES)
        kind = symbols.kind(address)
        if kind in FUTEX_CALLS:
            return kind, address
        if kind is not None:
            return None  # a futex inside a POSIX object: glibc's own, recorded as its call
        if found:  # a variable without types: its futex word is the object's
            return ("semaphore" if not value else "latch"), address
        return ("semaphore" if not value else "latch"), address

    def slot(self, address, slot):
        """The object whose waits go through the pool's slot: the barriers
        and atomics whose wait address hashes to it."""
        if self.pool is None:
            self.pool = pool_objects(self.symbols)
        candidates = [(kind, at) for kind, at, wait_at in self.pool if (wait_at >> 2) % POOL_SLOTS == slot]
        if len(candidates) == 1:
            return candidates[0]
        return ("barrier" if not candidates or candidates[0][0] == "barrier" else candidates[0][0]), address


def pool_objects(symbols):
    """[(kind, address, wait address)] of the program's barriers and atomics
    at fixed addresses, whose waits go through the waiter pool."""
    found = []
    for start, end, path in symbols.modules:
        debug = symbols.debug(path)
        if debug is None:
            continue
        base = start if symbols.relative(path) else 0
        for variable in debug.variables:
            for offset, kind, type_die in dwarf.sync_objects(variable.type, 0):
                if kind == "barrier":
                    phase = dwarf.member_offset(type_die, "_M_b", "_M_phase")
                    if phase is not None:
                        found.append((kind, base + variable.at + offset, base + variable.at + offset + phase))
                elif kind == "atomic" and dwarf.size_of(type_die) != 4:
                    found.append((kind, base + variable.at + offset, base + variable.at + offset))
    return found
