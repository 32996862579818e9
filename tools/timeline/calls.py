"""The calls that the tool understands, C's and C++'s alike, and the kinds of
object they are about: the one place where a call is known.

A call is named by its symbol (a C++ function by its mangled name), which
the recording library (recorder.c) wraps; its entry says
  name      the call as the source writes it (std::condition_variable::wait);
  state     what a thread is doing while it is inside the call, or None;
  objects   the kinds of the objects that its first arguments point to;
  does      what it does to them: it takes, releases or waits, or wakes;
  args      the arguments that the library records of it, at most three
            but for a few calls (their fourth place holds where the program
            made the call); the value it returns is recorded too;
  library   whether it is recorded when a library makes it too: text that
            libstdc++'s streams hand to the C library, the joins that
            std::async makes, the creations of threads;
  stack     whether its record keeps the return addresses of its callers: a
            wait whose object may have no name of its own, named then by the
            program's source line that waits on it;
  returns   what its value counts, where the analysis reads it: "bytes"
            written to a descriptor, or "items" written to a stream.

Calls that no program makes by that name are made by the analysis from what
was recorded (MADE): the waits and wakes of the C++20 semaphores, latches
and barriers (futex system calls made from inlined code), a std::async
task and the wait on its future, a std::condition_variable_any's wait.

Adding a call is a line here, and its wrapper in recorder.c; adding a kind
of object is a Kind here and its analyser (analyse.KINDS)."""
from dataclasses import dataclass

# What a thread is doing: the states of its lanes, the table's columns.
RUNNING, DONE = "running", "done"
SLEEPING, LOCK, CONDITION, SEMAPHORE = "sleeping", "waiting for a lock", "waiting on a condition", \
    "waiting on a semaphore"
JOINING, BARRIER, LATCH, FUTURE = "in a join or a wait", "at a barrier", "waiting on a latch", "waiting for a future"
INPUT = "waiting for input"
STATES = (RUNNING, SLEEPING, LOCK, CONDITION, SEMAPHORE, JOINING, BARRIER, LATCH, FUTURE, INPUT, DONE)
NOT_BLOCKED = (SLEEPING, INPUT)  # states whose calls are not waits on another thread


@dataclass(frozen=True)
class Kind:
    """A kind of object: its name in the trace and the table, the state of a
    thread that waits on one, and its hand-overs' colour and verb in the
    picture (a C++ object's verb where it differs)."""
    name: str
    waiting: str
    colour: str
    verb: str
    cxx_verb: str = ""


KINDS = {kind.name: kind for kind in (
    Kind("semaphore", SEMAPHORE, "#e63946", "handed over"),
    Kind("mutex", LOCK, "#333333", "handed over"),
    Kind("cond", CONDITION, "#f77f00", "signalled", "notified"),
    Kind("barrier", BARRIER, "#8d6e63", "let through"),
    Kind("rwlock", LOCK, "#b5179e", "handed over"),
    Kind("latch", LATCH, "#c9184a", "reached zero"),
    Kind("atomic", CONDITION, "#f77f00", "notified"),
    Kind("future", FUTURE, "#3a86ff", "set"),
)}


@dataclass(frozen=True)
class Call:
    name: str
    state: str | None = None
    objects: tuple = ()
    does: str = ""
    args: tuple = ()
    library: bool = False
    stack: bool = False
    returns: str = ""


TEXT = ("stream", "file", "sequence", "length")  # what a call that hands text over records; its bytes follow
FUTEX_WAIT_UNTIL = "_ZNSt28__atomic_futex_unsigned_base{}EPjjbNSt6chrono8durationIlSt5ratioILl1ELl1EEEENS2_IlS3_" \
                   "ILl1ELl1000000000EEEE"
JOIN = "_ZNSt6thread4joinEv"
CV_WAIT = "_ZNSt18condition_variable4waitERSt11unique_lockISt5mutexE"
THREAD_CREATE = "pthread_create"  # the C library's, whose record names the routine, its argument and the handle

CALLS = {
    # threads and processes
    THREAD_CREATE: Call("pthread_create", None, (), "create", ("where", "routine", "arg", "number"), True),
    "_ZNSt6thread15_M_start_threadESt10unique_ptrINS_6_StateESt14default_deleteIS1_EEPFvvE":
        Call("std::thread::thread", None, (), "create", ("where",)),
    "pthread_join": Call("pthread_join", JOINING, (), "join", ("handle",)),
    JOIN: Call("std::thread::join", JOINING, (), "join", ("where", "handle"), True),
    "pthread_exit": Call("pthread_exit", None, (), "exit", ("value",)),
    "pthread_once": Call("pthread_once", None, (), "once", ("control",)),
    "sched_yield": Call("sched_yield", None, (), "spin"),
    "fork": Call("fork", None, (), "fork"),
    "wait": Call("wait", JOINING, (), "wait-child"),
    "waitpid": Call("waitpid", JOINING, (), "wait-child", ("pid", "options")),
    # mutexes
    "pthread_mutex_lock": Call("pthread_mutex_lock", LOCK, ("mutex",), "lock", ("mutex",)),
    "pthread_mutex_trylock": Call("pthread_mutex_trylock", LOCK, ("mutex",), "trylock", ("mutex",)),
    "pthread_mutex_timedlock": Call("pthread_mutex_timedlock", LOCK, ("mutex",), "timedlock", ("mutex",)),
    "pthread_mutex_clocklock": Call("pthread_mutex_clocklock", LOCK, ("mutex",), "timedlock", ("mutex", "clock")),
    "pthread_mutex_unlock": Call("pthread_mutex_unlock", None, ("mutex",), "unlock", ("mutex",)),
    # read-write locks, and std::shared_mutex
    "pthread_rwlock_rdlock": Call("pthread_rwlock_rdlock", LOCK, ("rwlock",), "read", ("lock",)),
    "pthread_rwlock_wrlock": Call("pthread_rwlock_wrlock", LOCK, ("rwlock",), "write", ("lock",)),
    "pthread_rwlock_tryrdlock": Call("pthread_rwlock_tryrdlock", LOCK, ("rwlock",), "try-read", ("lock",)),
    "pthread_rwlock_trywrlock": Call("pthread_rwlock_trywrlock", LOCK, ("rwlock",), "try-write", ("lock",)),
    "pthread_rwlock_timedrdlock": Call("pthread_rwlock_timedrdlock", LOCK, ("rwlock",), "try-read", ("lock",)),
    "pthread_rwlock_timedwrlock": Call("pthread_rwlock_timedwrlock", LOCK, ("rwlock",), "try-write", ("lock",)),
    "pthread_rwlock_clockrdlock": Call("pthread_rwlock_clockrdlock", LOCK, ("rwlock",), "try-read",
                                       ("lock", "clock")),
    "pthread_rwlock_clockwrlock": Call("pthread_rwlock_clockwrlock", LOCK, ("rwlock",), "try-write",
                                       ("lock", "clock")),
    "pthread_rwlock_unlock": Call("pthread_rwlock_unlock", None, ("rwlock",), "rw-unlock", ("lock",)),
    # condition variables
    "pthread_cond_wait": Call("pthread_cond_wait", CONDITION, ("cond", "mutex"), "cond-wait", ("cond", "mutex")),
    "pthread_cond_timedwait": Call("pthread_cond_timedwait", CONDITION, ("cond", "mutex"), "cond-wait",
                                   ("cond", "mutex")),
    "pthread_cond_clockwait": Call("pthread_cond_clockwait", CONDITION, ("cond", "mutex"), "cond-wait",
                                   ("cond", "mutex", "clock")),
    "pthread_cond_signal": Call("pthread_cond_signal", None, ("cond",), "signal", ("cond",)),
    "pthread_cond_broadcast": Call("pthread_cond_broadcast", None, ("cond",), "broadcast", ("cond",)),
    # std::condition_variable::wait, with the mutex of the unique_lock it is given
    CV_WAIT:
        Call("std::condition_variable::wait", CONDITION, ("cond", "mutex"), "cond-wait", ("cond", "mutex"),
             stack=True),
    "_ZNSt18condition_variable10notify_oneEv": Call("std::condition_variable::notify_one", None, ("cond",), "signal",
                                                    ("cond",)),
    "_ZNSt18condition_variable10notify_allEv": Call("std::condition_variable::notify_all", None, ("cond",),
                                                    "broadcast", ("cond",)),
    # barriers
    "pthread_barrier_wait": Call("pthread_barrier_wait", BARRIER, ("barrier",), "barrier", ("barrier",)),
    # POSIX semaphores; sem_open's name follows its record
    "sem_init": Call("sem_init", None, ("semaphore",), "sem-init", ("semaphore", "shared", "value")),
    "sem_open": Call("sem_open", None, (), "sem-open", ("flags", "mode", "value")),
    "sem_wait": Call("sem_wait", SEMAPHORE, ("semaphore",), "sem-wait", ("semaphore",)),
    "sem_trywait": Call("sem_trywait", SEMAPHORE, ("semaphore",), "sem-trywait", ("semaphore",)),
    "sem_timedwait": Call("sem_timedwait", SEMAPHORE, ("semaphore",), "sem-trywait", ("semaphore",)),
    "sem_clockwait": Call("sem_clockwait", SEMAPHORE, ("semaphore",), "sem-trywait", ("semaphore", "clock")),
    "sem_post": Call("sem_post", None, ("semaphore",), "sem-post", ("semaphore",)),
    # the futex system call, under C++20's semaphores, latches, barriers and atomic waits
    "syscall": Call("syscall", None, (), "futex", ("address", "operation", "value"), stack=True),
    # std::future and std::promise wait on a word of their shared state
    FUTEX_WAIT_UNTIL.format("19_M_futex_wait_until"): Call("std::future::wait", FUTURE, ("future",), "future-wait",
                                                           ("future", "timed"), stack=True),
    FUTEX_WAIT_UNTIL.format("26_M_futex_wait_until_steady"): Call("std::future::wait", FUTURE, ("future",),
                                                                  "future-wait", ("future", "timed"), stack=True),
    "_ZNSt28__atomic_futex_unsigned_base19_M_futex_notify_allEPj":
        Call("std::promise::set_value", None, ("future",), "future-set", ("future",)),
    # reading input: a thread inside one of these waits for it
    "read": Call("read", INPUT, (), "input", ("file", "size")),
    "scanf": Call("scanf", INPUT, (), "input"),
    "__isoc99_scanf": Call("scanf", INPUT, (), "input"),
    "fscanf": Call("fscanf", INPUT, (), "input"),
    "__isoc99_fscanf": Call("fscanf", INPUT, (), "input"),
    "fgets": Call("fgets", INPUT, (), "input"),
    "getchar": Call("getchar", INPUT, (), "input"),
    "getc": Call("getc", INPUT, (), "input"),
    "fgetc": Call("fgetc", INPUT, (), "input"),
    "getline": Call("getline", INPUT, (), "input"),
    "getdelim": Call("getdelim", INPUT, (), "input"),
    "fread": Call("fread", INPUT, (), "input"),
    "_ZNSirsERi": Call("std::istream::operator>>", INPUT, (), "input"),
    "_ZNSi10_M_extractIlEERSiRT_": Call("std::istream::operator>>", INPUT, (), "input"),
    "_ZNSi10_M_extractIdEERSiRT_": Call("std::istream::operator>>", INPUT, (), "input"),
    "_ZStrsIcSt11char_traitsIcESaIcEERSt13basic_istreamIT_T0_ES7_RNSt7__cxx1112basic_stringIS4_S5_T1_EE":
        Call("std::operator>>", INPUT, (), "input"),
    "_ZSt7getlineIcSt11char_traitsIcESaIcEERSt13basic_istreamIT_T0_ES7_RNSt7__cxx1112basic_stringIS4_S5_T1_EE":
        Call("std::getline", INPUT, (), "input"),
    # sleeps, with the time asked for
    "sleep": Call("sleep", SLEEPING, (), "sleep", ("seconds",)),
    "usleep": Call("usleep", SLEEPING, (), "sleep", ("microseconds",)),
    "nanosleep": Call("nanosleep", SLEEPING, (), "sleep", ("seconds", "nanoseconds")),
    "clock_nanosleep": Call("clock_nanosleep", SLEEPING, (), "sleep", ("clock", "flags", "seconds", "nanoseconds")),
    # what hands text to the C library: a stream (FILE *) or a descriptor, and the bytes
    **{symbol: Call(name, does="text", args=TEXT, library=True, returns=returns) for symbol, name, returns in (
        ("printf", "printf", ""), ("__printf_chk", "printf", ""), ("vprintf", "vprintf", ""),
        ("__vprintf_chk", "vprintf", ""), ("fprintf", "fprintf", ""), ("__fprintf_chk", "fprintf", ""),
        ("vfprintf", "vfprintf", ""), ("__vfprintf_chk", "vfprintf", ""), ("dprintf", "dprintf", ""),
        ("__dprintf_chk", "dprintf", ""), ("vdprintf", "vdprintf", ""), ("puts", "puts", ""),
        ("fputs", "fputs", ""), ("fputs_unlocked", "fputs_unlocked", ""), ("putchar", "putchar", ""),
        ("putchar_unlocked", "putchar_unlocked", ""), ("putc", "putc", ""), ("putc_unlocked", "putc_unlocked", ""),
        ("fputc", "fputc", ""), ("fputc_unlocked", "fputc_unlocked", ""), ("_IO_putc", "putc", ""),
        ("fwrite", "fwrite", "items"), ("fwrite_unlocked", "fwrite_unlocked", "items"), ("write", "write", "bytes"),
        ("writev", "writev", "bytes"), ("perror", "perror", ""))},
    # ... and the calls that point standard output or error elsewhere, with the descriptor they change
    "freopen": Call("freopen", does="redirect", args=("file",)),
    "freopen64": Call("freopen", does="redirect", args=("file",)),
    "dup2": Call("dup2", does="redirect", args=("file",)),
    "dup3": Call("dup3", does="redirect", args=("file",)),
    "close": Call("close", does="redirect", args=("file",)),
}

# Calls that the analysis makes from what was recorded (see above), with
# the objects' addresses as their arguments.
ASYNC_WAIT, ASYNC_TASK = "std::future::wait/async", "std::async task"
CV_ANY_WAIT, CV_ANY_WAIT_RW = "std::condition_variable_any::wait", "std::condition_variable_any::wait/rwlock"
MADE = {
    "std::counting_semaphore::acquire": Call("std::counting_semaphore::acquire", SEMAPHORE, ("semaphore",),
                                             "wait"),
    "std::counting_semaphore::release": Call("std::counting_semaphore::release", None, ("semaphore",), "wake"),
    "std::latch::wait": Call("std::latch::wait", LATCH, ("latch",), "wait"),
    "std::latch::count_down": Call("std::latch::count_down", None, ("latch",), "wake"),
    "std::barrier::wait": Call("std::barrier::wait", BARRIER, ("barrier",), "wait"),
    "std::barrier::arrive": Call("std::barrier::arrive", None, ("barrier",), "wake"),
    "std::atomic::wait": Call("std::atomic::wait", CONDITION, ("atomic",), "wait"),
    "std::atomic::notify": Call("std::atomic::notify", None, ("atomic",), "wake"),
    # A join of a std::async thread is a wait on its future; the thread runs
    # its task inside a call of pthread_once.
    ASYNC_WAIT: Call("std::future::wait", FUTURE, (), "join", ("handle",)),
    ASYNC_TASK: Call("std::async task", None, (), "task"),
    # A std::condition_variable_any's wait, with the lock it was given.
    CV_ANY_WAIT: Call("std::condition_variable_any::wait", CONDITION, ("cond", "mutex"), "cond-wait"),
    CV_ANY_WAIT_RW: Call("std::condition_variable_any::wait", CONDITION, ("cond", "rwlock"), "cond-wait"),
}
# The futex waits and wakes of each kind of C++20 object, as the calls above.
FUTEX_CALLS = {"semaphore": ("std::counting_semaphore::acquire", "std::counting_semaphore::release"),
               "latch": ("std::latch::wait", "std::latch::count_down"),
               "barrier": ("std::barrier::wait", "std::barrier::arrive"),
               "atomic": ("std::atomic::wait", "std::atomic::notify")}
TABLE = {**CALLS, **MADE}

# Each call's number, which the recording library writes: the table's
# order (CALLS first, as header() numbers them). What the library writes that is not a call comes first: the text
# that follows a record, in records of its own; a thread's beginning (its
# creation's number, its pthread_t) and end; a process dying of a signal or
# calling exit (the signal, the status); and bytes that a C++ stream with a
# buffer of its own kept (the buffer, the sequence number, the length).
RECORDS = {"text": 1, "begin": 2, "end": 3, "dying": 4, "exiting": 5, "inserted": 6}
FIRST_CALL = 16
NUMBERS = {symbol: FIRST_CALL + i for i, symbol in enumerate(TABLE)}


def header():
    """The C header of the record kinds, the call numbers and which calls
    synchronise threads (shaken()), for recorder.c."""
    lines = [f"#define REC_{kind.upper()} {number}" for kind, number in RECORDS.items()]
    lines += [f"#define CALL_{symbol} {NUMBERS[symbol]}" for symbol in CALLS]
    lines.append(f"#define FIRST_CALL {FIRST_CALL}")
    lines.append("static const unsigned char synchronising[] = {"
                 + ", ".join("1" if shaken(call) else "0" for call in CALLS.values()) + "};")
    return "\n".join(lines) + "\n"


def shaken(call):
    """Whether a call synchronises threads or processes: --shake delays a
    thread before and after it."""
    return bool(call.objects) or call.does in ("create", "join", "wait-child", "fork", "futex", "once")


def named(*doing):
    """The calls that do one of these things, by their symbols."""
    return frozenset(symbol for symbol, call in TABLE.items() if call.does in doing)


def only(doing):
    """The one call that does this."""
    found, = named(doing)
    return found


# The calls that the analysis reads one by one.
FORK, SEM_INIT, SEM_OPEN, SPIN, FUTEX_CALL, ONCE = (
    only(doing) for doing in ("fork", "sem-init", "sem-open", "spin", "futex", "once"))


# std::mutex and its kin lock with the POSIX calls: on an object of one of
# these types, the call is the C++ method that made it.
CXX_MUTEXES = {"mutex", "recursive_mutex", "timed_mutex", "recursive_timed_mutex", "shared_mutex",
               "shared_timed_mutex", "condition_variable"}
CXX_METHODS = {"lock": "lock", "trylock": "try_lock", "timedlock": "try_lock_for", "unlock": "unlock",
               "read": "lock_shared", "write": "lock", "try-read": "try_lock_shared", "try-write": "try_lock",
               "rw-unlock": "unlock", "cond-wait": "wait_for"}


def title(symbol, type_name=None):
    """A call's name as the source writes it: a POSIX call that a C++ object
    made is that object's method (std::mutex::lock)."""
    call = TABLE[symbol]
    if symbol in CALLS and type_name in CXX_MUTEXES and call.does in CXX_METHODS \
            and (call.does != "cond-wait" or symbol == "pthread_cond_clockwait"):
        return f"std::{type_name}::{CXX_METHODS[call.does]}"
    return call.name


OBJECTS_OF = {kind: frozenset(symbol for symbol, call in TABLE.items() if call.objects and call.objects[0] == kind)
              for kind in KINDS}
WRITES = named("text")
SLEEPS = named("sleep")
INPUTS = named("input")
WAITS = frozenset(symbol for symbol, call in TABLE.items() if call.state and call.state not in NOT_BLOCKED)
LOCKS = named("lock", "trylock", "timedlock")
TRYLOCKS = named("trylock")
UNLOCKS = named("unlock")
COND_WAITS = named("cond-wait")
COND_WAKES = named("signal", "broadcast")
SIGNALS = named("signal")
RWLOCKS = named("read", "write", "try-read", "try-write")
RW_WRITES = named("write", "try-write")
RW_UNLOCKS = named("rw-unlock")
TAKES = LOCKS | RWLOCKS
RELEASES = UNLOCKS | RW_UNLOCKS
SEM_WAITS = named("sem-wait", "sem-trywait")
SEM_POSTS = named("sem-post")
THREAD_JOINS = named("join")
CHILD_WAITS = named("wait-child")
JOINS = THREAD_JOINS | CHILD_WAITS
CREATES = named("create")
REDIRECTS = named("redirect")
FUTEX_WAITS = named("wait", "future-wait")
FUTEX_WAKES = named("wake", "future-set")
FUTEX = named("futex")
# Calls that are slices in the trace.
SPANS = frozenset(symbol for symbol, call in TABLE.items()
                  if call.state or call.objects or call.does in ("create", "exit", "fork", "sem-open", "task"))
