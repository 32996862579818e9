"""What the program's debugging information says, read with pyelftools: its
variables at fixed addresses and the locals of its functions, each with its
type, so that a place inside one is named as the source writes it
(buffer.notFull, slots[3].m, table.lock); the kind of synchronisation object
that a type is (a std::shared_mutex is a rwlock); its functions by address;
and the layout of what a std::thread runs.

Addresses are as the file gives them: offsets from the load address in a
position-independent program."""
import os
from collections import namedtuple

# The types that are one synchronisation object each, by their DWARF names,
# and the kind of object each is. A name that ends with "<" stands for the
# instances of a template.
KINDS = {"pthread_mutex_t": "mutex", "mutex": "mutex", "recursive_mutex": "mutex", "timed_mutex": "mutex",
         "recursive_timed_mutex": "mutex", "pthread_rwlock_t": "rwlock", "shared_mutex": "rwlock",
         "shared_timed_mutex": "rwlock", "pthread_cond_t": "cond", "condition_variable": "cond",
         "condition_variable_any": "cond", "pthread_barrier_t": "barrier", "barrier<": "barrier",
         "sem_t": "semaphore", "counting_semaphore<": "semaphore", "latch": "latch", "atomic<": "atomic",
         "atomic_flag": "atomic", "once_flag": "once", "pthread_once_t": "once", "thread": "thread",
         "jthread": "thread", "pthread_spinlock_t": "spinlock"}
MOST_BYTES = 64 << 20  # a program with more debugging information than this is read without it
STRIPPED = ("DW_TAG_typedef", "DW_TAG_const_type", "DW_TAG_volatile_type", "DW_TAG_restrict_type",
            "DW_TAG_atomic_type")
STRUCTURES = ("DW_TAG_structure_type", "DW_TAG_class_type", "DW_TAG_union_type")

# A variable: where it is (an address, or an offset from its function's
# frame base), its size, its name, its type's DIE and the DIE that declares it.
Variable = namedtuple("Variable", "at size name type declaration")


def text(die, attribute="DW_AT_name"):
    value = die.attributes.get(attribute)
    return value.value.decode(errors="replace") if value is not None and isinstance(value.value, bytes) else None


def kind_of_name(name):
    if name is None:
        return None
    return KINDS.get(name) or next((kind for key, kind in KINDS.items() if key.endswith("<")
                                    and name.startswith(key)), None)


class Debug:
    def __init__(self, path):
        """Reads the debugging information of the module at path."""
        from elftools.dwarf.dwarf_expr import DWARFExprParser
        from elftools.elf.elffile import ELFFile

        self.variables, self.frames, self.functions = [], {}, {}
        self.ranges, self.call_sites = [], []  # [(low, high, DIE)]; [(DIE offset of the callee, return pc)]
        with open(path, "rb") as stream:
            elf = ELFFile(stream)
            info = elf.get_section_by_name(".debug_info")
            if info is None or info.data_size > MOST_BYTES or not elf.has_dwarf_info():
                raise ValueError("no debugging information")
            dwarf = elf.get_dwarf_info(relocate_dwarf_sections=False)
            parser = DWARFExprParser(dwarf.structs)
            range_lists = dwarf.range_lists()
            for unit in dwarf.iter_CUs():
                for die in unit.iter_DIEs():
                    tag = die.tag
                    if tag == "DW_TAG_variable":
                        self.add_variable(die, parser)
                    elif tag == "DW_TAG_subprogram" and "DW_AT_low_pc" in die.attributes:
                        low = die.attributes["DW_AT_low_pc"].value
                        self.functions[low] = die
                        high = die.attributes.get("DW_AT_high_pc")
                        if high is not None:
                            self.ranges.append((low, low + high.value if high.form != "DW_FORM_addr" else high.value,
                                                die))
                    elif tag == "DW_TAG_subprogram" and "DW_AT_ranges" in die.attributes and range_lists:
                        # A function split in parts (its cold part apart): it begins at its first.
                        self.add_ranges(die, range_lists)
                    elif tag in ("DW_TAG_call_site", "DW_TAG_GNU_call_site") and (
                            "DW_AT_call_tail_call" in die.attributes or "DW_AT_GNU_tail_call" in die.attributes):
                        origin = die.attributes.get("DW_AT_call_origin") or die.attributes.get("DW_AT_abstract_origin")
                        pc = die.attributes.get("DW_AT_call_return_pc") or die.attributes.get("DW_AT_low_pc")
                        if origin is not None and pc is not None:
                            unit = die.cu.cu_offset if origin.form != "DW_FORM_ref_addr" else 0
                            self.call_sites.append((origin.value + unit, pc.value))
        self.variables.sort(key=lambda variable: variable.at)
        self.starts = [variable.at for variable in self.variables]

    def add_ranges(self, die, range_lists):
        """Keeps the address ranges of a function that lies in several."""
        try:
            entries = range_lists.get_range_list_at_offset(die.attributes["DW_AT_ranges"].value, cu=die.cu)
        except Exception:  # a form this reader does not know: the function goes unnamed
            return
        base = die.cu.get_top_DIE().attributes.get("DW_AT_low_pc")
        base = base.value if base is not None else 0
        first = True
        for entry in entries:
            if not hasattr(entry, "begin_offset"):
                base = getattr(entry, "base_address", base)
                continue
            low = entry.begin_offset if getattr(entry, "is_absolute", False) else base + entry.begin_offset
            high = entry.end_offset if getattr(entry, "is_absolute", False) else base + entry.end_offset
            if first:
                self.functions[low] = die
                first = False
            self.ranges.append((low, high, die))

    def add_variable(self, die, parser):
        """Keeps a variable that lies at a fixed address, or in main's frame."""
        location = die.attributes.get("DW_AT_location")
        if location is None or location.form not in ("DW_FORM_exprloc", "DW_FORM_block1"):
            return
        try:
            operations = parser.parse_expr(location.value)
        except Exception:  # an expression this reader does not know: the variable stays unnamed
            return
        if len(operations) != 1 or operations[0].op_name not in ("DW_OP_addr", "DW_OP_fbreg"):
            return
        declaration = die
        if "DW_AT_specification" in die.attributes:
            declaration = die.get_DIE_from_attribute("DW_AT_specification")
        name, type_die = text(declaration) or text(die), type_of(die) or type_of(declaration)
        if name is None or type_die is None:
            return
        size = size_of(type_die)
        if operations[0].op_name == "DW_OP_addr":
            self.variables.append(Variable(operations[0].args[0], size, qualified(declaration, name), type_die,
                                           declaration))
            return
        function = enclosing_function(die)
        if function is not None:
            self.frames.setdefault(function, []).append(Variable(operations[0].args[0], size, name, type_die,
                                                                 declaration))

    def variable(self, at):
        """The variable at a fixed address that holds at, or None."""
        import bisect
        i = bisect.bisect_right(self.starts, at) - 1
        while i >= 0:
            variable = self.variables[i]
            if variable.at <= at < variable.at + max(variable.size, 1):
                return variable
            if variable.at + (1 << 20) < at:
                return None
            i -= 1
        return None

    def tail_calls(self, at):
        """The places that jump to the function holding at as their last act
        (a tail call, which leaves no frame of theirs on the stack): the
        addresses of those jumps."""
        holder = next((die for low, high, die in self.ranges if low <= at < high), None)
        if holder is None:
            return []
        names = {holder.offset}
        for attribute in ("DW_AT_specification", "DW_AT_abstract_origin"):
            if attribute in holder.attributes:
                names.add(holder.get_DIE_from_attribute(attribute).offset)
        return sorted({pc - 1 for origin, pc in self.call_sites if origin in names})


def type_of(die, attribute="DW_AT_type"):
    return die.get_DIE_from_attribute(attribute) if die is not None and attribute in die.attributes else None


def strip(die):
    while die is not None and die.tag in STRIPPED:
        die = type_of(die)
    return die


def size_of(die):
    die = strip(die)
    if die is None:
        return 0
    if "DW_AT_byte_size" in die.attributes:
        return die.attributes["DW_AT_byte_size"].value
    if die.tag == "DW_TAG_array_type":
        count = 1
        for bound in counts(die):
            count *= bound
        return count * size_of(type_of(die))
    if die.tag in ("DW_TAG_pointer_type", "DW_TAG_reference_type", "DW_TAG_rvalue_reference_type"):
        return 8
    return 0


def counts(array):
    found = []
    for child in array.iter_children():
        if child.tag == "DW_TAG_subrange_type":
            if "DW_AT_count" in child.attributes:
                found.append(child.attributes["DW_AT_count"].value)
            elif "DW_AT_upper_bound" in child.attributes and isinstance(child.attributes["DW_AT_upper_bound"].value,
                                                                        int):
                found.append(child.attributes["DW_AT_upper_bound"].value + 1)
            else:
                found.append(0)
    return found


def qualified(die, name):
    """The name with its namespaces and classes: std::cout, Buffer::instances."""
    parts, parent = [name], die.get_parent()
    while parent is not None and parent.tag in ("DW_TAG_namespace",) + STRUCTURES:
        if text(parent):
            parts.insert(0, text(parent))
        parent = parent.get_parent()
    return "::".join(parts)


def enclosing_function(die):
    parent = die.get_parent()
    while parent is not None and parent.tag != "DW_TAG_subprogram":
        parent = parent.get_parent()
    return parent


def function_name(die):
    """A function as the source writes it: produce, Buffer::put."""
    if "DW_AT_abstract_origin" in die.attributes:
        die = die.get_DIE_from_attribute("DW_AT_abstract_origin")
    if "DW_AT_specification" in die.attributes:
        die = die.get_DIE_from_attribute("DW_AT_specification")
    name = text(die) or "?"
    return qualified(die, name)


def kind_of(die):
    """The kind of synchronisation object that a type is, or None."""
    while die is not None:
        kind = kind_of_name(text(die))
        if kind or die.tag not in STRIPPED:
            return kind
        die = type_of(die)
    return None


def inside(type_die, offset):
    """How a place offset bytes into an object of this type is named after
    the object's own name: ".notFull", "[3].m", "" for the object itself."""
    return locate(type_die, offset)[0]


def locate(type_die, offset):
    """(the name of a place inside an object of this type, after the
    object's own name; the type at that place). It goes down through
    members, bases and elements, and stops at an object of a
    synchronisation type, which is one object whatever its insides."""
    path = ""
    die = type_die
    for _ in range(32):
        if die is None or kind_of(die):
            return path, die
        outer = die
        die = strip(die)
        if die is None:
            return path, outer
        if die.tag == "DW_TAG_array_type":
            element = type_of(die)
            size = size_of(element)
            bounds = counts(die) or [0]
            if not size:
                return path, die
            index, offset = divmod(offset, size)
            indices = []
            for bound in reversed(bounds[1:]):
                index, rest = divmod(index, bound) if bound else (index, 0)
                indices.insert(0, rest)
            indices.insert(0, index)
            path += "".join(f"[{i}]" for i in indices)
            die = element
            continue
        if die.tag not in STRUCTURES:
            return path, die
        found = None
        for child in die.iter_children():
            if child.tag not in ("DW_TAG_member", "DW_TAG_inheritance"):
                continue
            place = child.attributes.get("DW_AT_data_member_location")
            at = place.value if place is not None and isinstance(place.value, int) else 0
            member_type = type_of(child)
            size = size_of(member_type)
            if at <= offset < at + max(size, 1):
                found = (child, at, member_type)
                if child.tag == "DW_TAG_member":
                    break
        if found is None:
            return (path if offset == 0 else path + f"+{offset:#x}"), die
        child, at, member_type = found
        if child.tag == "DW_TAG_member" and text(child):
            path += "." + text(child)
        offset -= at
        die = member_type
    return path, die


def member_offset(type_die, *names):
    """The offset of a member inside a type, through the members named, or None."""
    offset, die = 0, type_die
    for name in names:
        die = strip(die)
        if die is None:
            return None
        found = search(die, name)
        if found is None:
            return None
        at, die = found
        offset += at
    return offset


def search(die, name):
    """(offset, type) of the member with this name, in the type or its bases."""
    for child in die.iter_children():
        place = child.attributes.get("DW_AT_data_member_location")
        at = place.value if place is not None and isinstance(place.value, int) else 0
        if child.tag == "DW_TAG_member" and text(child) == name:
            return at, type_of(child)
        if child.tag == "DW_TAG_inheritance":
            base = strip(type_of(child))
            found = search(base, name) if base is not None else None
            if found:
                return at + found[0], found[1]
    return None


def is_lambda(die):
    """A lambda's type: named <lambda()> by some compilers, by none by g++ 12,
    whose only sign is its destructor's name."""
    name = text(die)
    if name is not None:
        return name.startswith("<lambda")
    return die.has_children and any(child.tag == "DW_TAG_subprogram" and text(child) == "~<lambda>"
                                    for child in die.iter_children())


def lambda_place(die):
    """(function, line) where a lambda's type was written."""
    function = enclosing_function(die)
    line = die.attributes.get("DW_AT_decl_line")
    return (function_name(function) if function is not None else None), (line.value if line else None)


def source_file(die):
    """The path of the file that a DIE was declared in, as the compile unit
    names it, or None."""
    unit = die.cu
    number = die.attributes.get("DW_AT_decl_file")
    if number is None:
        return None
    try:
        line_program = unit.dwarfinfo.line_program_for_CU(unit)
        if line_program is None:
            return None
        version = unit.header["version"]
        entry = line_program["file_entry"][number.value - (0 if version >= 5 else 1)]
        folders = line_program["include_directory"]
        index = entry.dir_index - (0 if version >= 5 else 1)
        folder = folders[index] if 0 <= index < len(folders) else b""
    except (IndexError, KeyError, AttributeError):
        return None
    return os.path.join(os.fsdecode(folder), os.fsdecode(entry.name))


def sync_objects(type_die, offset, depth=0):
    """[(offset, kind, type)] of the synchronisation objects inside a type."""
    kind = kind_of(type_die)
    if kind:
        return [(offset, kind, strip(type_die))]
    die = strip(type_die)
    if die is None or depth > 8:
        return []
    found = []
    if die.tag == "DW_TAG_array_type":
        size = size_of(type_of(die))
        total = size_of(die)
        if size and total // size <= 64:
            for index in range(total // size):
                found += sync_objects(type_of(die), offset + index * size, depth + 1)
    elif die.tag in STRUCTURES:
        for child in die.iter_children():
            if child.tag in ("DW_TAG_member", "DW_TAG_inheritance"):
                place = child.attributes.get("DW_AT_data_member_location")
                at = place.value if place is not None and isinstance(place.value, int) else 0
                found += sync_objects(type_of(child), offset + at, depth + 1)
    return found
