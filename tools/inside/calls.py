"""The calls that the tool understands, C's and C++'s alike, in one table.

Each is named as uftrace records it (a C++ function by its mangled name) and
gives:
  name      the call as the source writes it (std::condition_variable::wait);
  state     what a thread is doing while it is inside the call, or None;
  objects   the kinds of the objects that its recorded arguments point to,
            in order ("cond", "mutex");
  does      what it does to them: it takes, releases or waits, or wakes;
  recorded  the arguments that uftrace records of it ("retval" for the value
            it returns);
  writes    for a call that writes text, where its stream and its text are.

Calls that no program makes by that name are made by the analysis from what
was recorded: the waits and wakes of the C++20 semaphores, latches and
barriers (futex system calls made from inlined code), and the joins that
only the helper library sees. They have no recorded arguments; theirs are
the objects' addresses.

Adding a call is a line here."""
from collections import namedtuple

Call = namedtuple("Call", "name state objects does recorded writes", defaults=(None, (), "", None, None))

SLEEPING, LOCK, CONDITION, SEMAPHORE = "sleeping", "waiting for a lock", "waiting on a condition", \
    "waiting on a semaphore"
JOINING, BARRIER, LATCH, FUTURE = "in a join or a wait", "at a barrier", "waiting on a latch", "waiting for a future"
INPUT = "waiting for input"


def ints(first, count=8):
    return ",".join(f"arg{n}/x" for n in range(first, first + count))


# writes: (stream, what, at, more): stream is "stdout", "stderr" or the
# index of the argument that names it (a FILE *, a descriptor or an
# ostream); what is "format" (printf's: its arguments follow from index
# more), "text" (its length at index more, if any), "line" (puts), "error"
# (perror), "char", "number" (a C++ inserter's, decimal), "any" (text this
# tool cannot know), "manipulator" (std::endl and the like, by address) or
# "newline".
OSTREAM = "_ZSt" "lsISt11char_traitsIcEERSt13basic_ostreamIcT_ES5_"  # std::operator<<(std::ostream&, ...)
INSERT = "_ZNSo9_M_insertI{}EERSoT_"  # std::ostream::_M_insert<T>(T), behind operator<< of many types
MANIPULATOR = "{}IcSt11char_traitsIcEERSt13basic_ostreamIT_T0_ES6_"  # std::endl<char>(std::ostream&) ...
FUTEX_WAIT_UNTIL = "_ZNSt28__atomic_futex_unsigned_base19_M_futex_wait_until{}EPjjbNSt6chrono8durationIlSt5ratio" \
                   "ILl1ELl1EEEENS2_IlS3_ILl1ELl1000000000EEEE"

CALLS = {
    # threads and processes
    "pthread_create": Call("pthread_create", None, (), "create", "arg1/x,arg3/x,retval"),
    "_ZNSt6thread15_M_start_threadESt10unique_ptrINS_6_StateESt14default_deleteIS1_EEPFvvE":
        Call("std::thread::thread", None, (), "create", "arg1/x"),
    "pthread_join": Call("pthread_join", JOINING, (), "join", "arg1/x,retval"),
    "_ZNSt6thread4joinEv": Call("std::thread::join", JOINING, (), "join", "arg1/x"),
    "pthread_exit": Call("pthread_exit", None, (), "exit", "arg1/x"),
    "fork": Call("fork", None, (), "fork", "retval"),
    "wait": Call("wait", JOINING, (), "wait-child", "retval"),
    "waitpid": Call("waitpid", JOINING, (), "wait-child", "arg1/x,retval"),
    # mutexes
    "pthread_mutex_lock": Call("pthread_mutex_lock", LOCK, ("mutex",), "lock", "arg1/x"),
    "pthread_mutex_trylock": Call("pthread_mutex_trylock", LOCK, ("mutex",), "trylock", "arg1/x,retval"),
    "pthread_mutex_timedlock": Call("pthread_mutex_timedlock", LOCK, ("mutex",), "timedlock", "arg1/x,retval"),
    "pthread_mutex_clocklock": Call("pthread_mutex_clocklock", LOCK, ("mutex",), "timedlock", "arg1/x,retval"),
    "pthread_mutex_unlock": Call("pthread_mutex_unlock", None, ("mutex",), "unlock", "arg1/x"),
    # read-write locks, and std::shared_mutex
    "pthread_rwlock_rdlock": Call("pthread_rwlock_rdlock", LOCK, ("rwlock",), "read", "arg1/x"),
    "pthread_rwlock_wrlock": Call("pthread_rwlock_wrlock", LOCK, ("rwlock",), "write", "arg1/x"),
    "pthread_rwlock_tryrdlock": Call("pthread_rwlock_tryrdlock", LOCK, ("rwlock",), "try-read", "arg1/x,retval"),
    "pthread_rwlock_trywrlock": Call("pthread_rwlock_trywrlock", LOCK, ("rwlock",), "try-write", "arg1/x,retval"),
    "pthread_rwlock_timedrdlock": Call("pthread_rwlock_timedrdlock", LOCK, ("rwlock",), "try-read",
                                       "arg1/x,retval"),
    "pthread_rwlock_timedwrlock": Call("pthread_rwlock_timedwrlock", LOCK, ("rwlock",), "try-write",
                                       "arg1/x,retval"),
    "pthread_rwlock_clockrdlock": Call("pthread_rwlock_clockrdlock", LOCK, ("rwlock",), "try-read",
                                       "arg1/x,retval"),
    "pthread_rwlock_clockwrlock": Call("pthread_rwlock_clockwrlock", LOCK, ("rwlock",), "try-write",
                                       "arg1/x,retval"),
    "pthread_rwlock_unlock": Call("pthread_rwlock_unlock", None, ("rwlock",), "rw-unlock", "arg1/x"),
    # condition variables
    "pthread_cond_wait": Call("pthread_cond_wait", CONDITION, ("cond", "mutex"), "cond-wait", "arg1/x,arg2/x"),
    "pthread_cond_timedwait": Call("pthread_cond_timedwait", CONDITION, ("cond", "mutex"), "cond-wait",
                                   "arg1/x,arg2/x,retval"),
    "pthread_cond_clockwait": Call("pthread_cond_clockwait", CONDITION, ("cond", "mutex"), "cond-wait",
                                   "arg1/x,arg2/x,retval"),
    "pthread_cond_signal": Call("pthread_cond_signal", None, ("cond",), "signal", "arg1/x"),
    "pthread_cond_broadcast": Call("pthread_cond_broadcast", None, ("cond",), "broadcast", "arg1/x"),
    # std::condition_variable::wait's second argument is its unique_lock, whose mutex the analysis finds
    "_ZNSt18condition_variable4waitERSt11unique_lockISt5mutexE":
        Call("std::condition_variable::wait", CONDITION, ("cond",), "cond-wait", "arg1/x,arg2/x"),
    "_ZNSt18condition_variable10notify_oneEv": Call("std::condition_variable::notify_one", None, ("cond",), "signal",
                                                    "arg1/x"),
    "_ZNSt18condition_variable10notify_allEv": Call("std::condition_variable::notify_all", None, ("cond",),
                                                    "broadcast", "arg1/x"),
    # barriers
    "pthread_barrier_wait": Call("pthread_barrier_wait", BARRIER, ("barrier",), "barrier", "arg1/x,retval"),
    # POSIX semaphores
    "sem_init": Call("sem_init", None, ("semaphore",), "sem-init", "arg1/x,arg2,arg3/u"),
    "sem_open": Call("sem_open", None, (), "sem-open", "arg1/s,arg2,arg3/x,arg4/u,retval/x"),
    "sem_wait": Call("sem_wait", SEMAPHORE, ("semaphore",), "sem-wait", "arg1/x"),
    "sem_trywait": Call("sem_trywait", SEMAPHORE, ("semaphore",), "sem-trywait", "arg1/x,retval"),
    "sem_timedwait": Call("sem_timedwait", SEMAPHORE, ("semaphore",), "sem-trywait", "arg1/x,retval"),
    "sem_clockwait": Call("sem_clockwait", SEMAPHORE, ("semaphore",), "sem-trywait", "arg1/x,retval"),
    "sem_post": Call("sem_post", None, ("semaphore",), "sem-post", "arg1/x"),
    # the futex system call, under C++20's semaphores, latches, barriers and atomic waits
    "syscall": Call("syscall", None, (), "syscall", "arg1,arg2/x,arg3,arg4,arg5/x"),
    # std::future and std::promise wait on a word of their shared state
    FUTEX_WAIT_UNTIL.format(""): Call("std::future::wait", FUTURE, ("future",), "future-wait", "arg2/x,arg4"),
    FUTEX_WAIT_UNTIL.format("_steady"): Call("std::future::wait", FUTURE, ("future",), "future-wait",
                                             "arg2/x,arg4"),
    "_ZNSt28__atomic_futex_unsigned_base19_M_futex_notify_allEPj":
        Call("std::promise::set_value", None, ("future",), "future-set", "arg1/x"),
    # reading input: a thread inside one of these waits for it
    "read": Call("read", INPUT, (), "input", "arg1"),
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
    # sleeps
    "sleep": Call("sleep", SLEEPING, (), "sleep", "arg1/u"),
    "usleep": Call("usleep", SLEEPING, (), "sleep", "arg1/u"),
    "nanosleep": Call("nanosleep", SLEEPING, (), "sleep", "arg1/x"),
    "clock_nanosleep": Call("clock_nanosleep", SLEEPING, (), "sleep", "arg1,arg2,arg3/x"),
    # what writes text: stdio ... (each returns what it wrote, or an error)
    "printf": Call("printf", writes=("stdout", "format", 0, 1), recorded="arg1/s," + ints(2) + ",retval"),
    "__printf_chk": Call("printf", writes=("stdout", "format", 1, 2), recorded="arg1,arg2/s," + ints(3) + ",retval"),
    "vprintf": Call("vprintf", writes=("stdout", "format", 0, None), recorded="arg1/s,retval"),
    "fprintf": Call("fprintf", writes=(0, "format", 1, 2), recorded="arg1/x,arg2/s," + ints(3) + ",retval"),
    "__fprintf_chk": Call("fprintf", writes=(0, "format", 2, 3), recorded="arg1/x,arg2,arg3/s," + ints(4) + ",retval"),
    "vfprintf": Call("vfprintf", writes=(0, "format", 1, None), recorded="arg1/x,arg2/s,retval"),
    "dprintf": Call("dprintf", writes=(0, "format", 1, 2), recorded="arg1,arg2/s," + ints(3) + ",retval"),
    "puts": Call("puts", writes=("stdout", "line", 0, None), recorded="arg1/s,retval"),
    "fputs": Call("fputs", writes=(1, "text", 0, None), recorded="arg1/s,arg2/x,retval"),
    "fputs_unlocked": Call("fputs_unlocked", writes=(1, "text", 0, None), recorded="arg1/s,arg2/x,retval"),
    "putchar": Call("putchar", writes=("stdout", "char", 0, None), recorded="arg1,retval"),
    "putchar_unlocked": Call("putchar_unlocked", writes=("stdout", "char", 0, None), recorded="arg1,retval"),
    "putc": Call("putc", writes=(1, "char", 0, None), recorded="arg1,arg2/x,retval"),
    "putc_unlocked": Call("putc_unlocked", writes=(1, "char", 0, None), recorded="arg1,arg2/x,retval"),
    "fputc": Call("fputc", writes=(1, "char", 0, None), recorded="arg1,arg2/x,retval"),
    "fputc_unlocked": Call("fputc_unlocked", writes=(1, "char", 0, None), recorded="arg1,arg2/x,retval"),
    "fwrite": Call("fwrite", writes=(3, "text", 0, "fwrite"), recorded="arg1/s,arg2,arg3,arg4/x,retval"),
    "fwrite_unlocked": Call("fwrite_unlocked", writes=(3, "text", 0, "fwrite"),
                            recorded="arg1/s,arg2,arg3,arg4/x,retval"),
    "write": Call("write", writes=(0, "text", 1, 2), recorded="arg1,arg2/s,arg3,retval"),
    "perror": Call("perror", writes=("stderr", "error", 0, None), recorded="arg1/s"),
    # ... and the calls that point standard output or error elsewhere: their stream (or descriptor)
    "freopen": Call("freopen", does="redirect", recorded="arg3/x"),
    "freopen64": Call("freopen", does="redirect", recorded="arg3/x"),
    "dup2": Call("dup2", does="redirect", recorded="arg2"),
    "dup3": Call("dup3", does="redirect", recorded="arg2"),
    # ... and iostreams, on std::cout, std::cerr and std::clog
    OSTREAM + "PKc": Call("std::operator<<", writes=(0, "text", 1, None), recorded="arg1/x,arg2/s"),
    OSTREAM + "PKh": Call("std::operator<<", writes=(0, "text", 1, None), recorded="arg1/x,arg2/s"),
    OSTREAM + "PKa": Call("std::operator<<", writes=(0, "text", 1, None), recorded="arg1/x,arg2/s"),
    OSTREAM + "c": Call("std::operator<<", writes=(0, "char", 1, None), recorded="arg1/x,arg2"),
    OSTREAM + "h": Call("std::operator<<", writes=(0, "char", 1, None), recorded="arg1/x,arg2"),
    OSTREAM + "a": Call("std::operator<<", writes=(0, "char", 1, None), recorded="arg1/x,arg2"),
    "_ZStlsIcSt11char_traitsIcESaIcEERSt13basic_ostreamIT_T0_ES7_RKNSt7__cxx1112basic_stringIS4_S5_T1_EE":
        Call("std::operator<<", writes=(0, "any", 1, None), recorded="arg1/x"),
    "_ZSt16__ostream_insertIcSt11char_traitsIcEERSt13basic_ostreamIT_T0_ES6_PKS3_l":
        Call("std::operator<<", writes=(0, "text", 1, 2), recorded="arg1/x,arg2/s,arg3"),
    "_ZNSo5writeEPKcl": Call("std::ostream::write", writes=(0, "text", 1, 2), recorded="arg1/x,arg2/s,arg3"),
    "_ZNSo3putEc": Call("std::ostream::put", writes=(0, "char", 1, None), recorded="arg1/x,arg2"),
    "_ZNSo5flushEv": Call("std::ostream::flush", writes=(0, "flush", 0, None), recorded="arg1/x"),
    "_ZNSolsEs": Call("std::ostream::operator<<", writes=(0, "number", 1, 16), recorded="arg1/x,arg2"),
    "_ZNSolsEi": Call("std::ostream::operator<<", writes=(0, "number", 1, 32), recorded="arg1/x,arg2"),
    "_ZNSolsEf": Call("std::ostream::operator<<", writes=(0, "any", 1, None), recorded="arg1/x"),
    INSERT.format("l"): Call("std::ostream::operator<<", writes=(0, "number", 1, 64), recorded="arg1/x,arg2"),
    INSERT.format("x"): Call("std::ostream::operator<<", writes=(0, "number", 1, 64), recorded="arg1/x,arg2"),
    INSERT.format("m"): Call("std::ostream::operator<<", writes=(0, "number", 1, -64), recorded="arg1/x,arg2"),
    INSERT.format("y"): Call("std::ostream::operator<<", writes=(0, "number", 1, -64), recorded="arg1/x,arg2"),
    INSERT.format("b"): Call("std::ostream::operator<<", writes=(0, "any", 1, None), recorded="arg1/x"),
    INSERT.format("d"): Call("std::ostream::operator<<", writes=(0, "any", 1, None), recorded="arg1/x"),
    INSERT.format("e"): Call("std::ostream::operator<<", writes=(0, "any", 1, None), recorded="arg1/x"),
    INSERT.format("PKv"): Call("std::ostream::operator<<", writes=(0, "any", 1, None), recorded="arg1/x"),
    "_ZNSolsEPFRSoS_E": Call("std::ostream::operator<<", writes=(0, "manipulator", 1, None),
                             recorded="arg1/x,arg2/x"),
    MANIPULATOR.format("_ZSt4endl"): Call("std::endl", writes=(0, "newline", 0, None), recorded="arg1/x"),
    MANIPULATOR.format("_ZSt5flush"): Call("std::flush", writes=(0, "flush", 0, None), recorded="arg1/x"),
}

# Calls that the analysis makes from what was recorded (see above).
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
    "std::future::wait/async": Call("std::future::wait", FUTURE, (), "join"),
    "std::async task": Call("std::async task", None, (), "task"),
    # std::condition_variable::wait with the mutex of its unique_lock; a
    # std::condition_variable_any's with the lock it was given.
    "std::condition_variable::wait": Call("std::condition_variable::wait", CONDITION, ("cond", "mutex"),
                                          "cond-wait"),
    "std::condition_variable_any::wait": Call("std::condition_variable_any::wait", CONDITION, ("cond", "mutex"),
                                              "cond-wait"),
    "std::condition_variable_any::wait/rwlock": Call("std::condition_variable_any::wait", CONDITION,
                                                     ("cond", "rwlock"), "cond-wait"),
}
# The futex waits and wakes of each kind of C++20 object, as the calls above.
FUTEX_CALLS = {"semaphore": ("std::counting_semaphore::acquire", "std::counting_semaphore::release"),
               "latch": ("std::latch::wait", "std::latch::count_down"),
               "barrier": ("std::barrier::wait", "std::barrier::arrive"),
               "atomic": ("std::atomic::wait", "std::atomic::notify")}
TABLE = {**CALLS, **MADE}


def named(*doing):
    """The calls that do one of these things, by their recorded names."""
    return frozenset(symbol for symbol, call in TABLE.items() if call.does in doing)


def display(symbol):
    """A call's name as the source writes it."""
    call = TABLE.get(symbol)
    return call.name if call else symbol


# std::mutex and its kin lock with the POSIX calls: on an object of one of
# these types, the call is the C++ method that made it.
CXX_MUTEXES = {"mutex", "recursive_mutex", "timed_mutex", "recursive_timed_mutex", "shared_mutex",
               "shared_timed_mutex", "condition_variable"}
CXX_METHODS = {"lock": "lock", "trylock": "try_lock", "timedlock": "try_lock_for", "unlock": "unlock",
               "read": "lock_shared", "write": "lock", "try-read": "try_lock_shared", "try-write": "try_lock",
               "rw-unlock": "unlock", "cond-wait": "wait_for"}


def as_cxx(symbol, type_name):
    """The C++ method that made a POSIX call on an object of this type, or None."""
    call = TABLE.get(symbol)
    if call is None or type_name not in CXX_MUTEXES or call.does not in CXX_METHODS or not call.recorded \
            or (call.does == "cond-wait" and symbol != "pthread_cond_clockwait"):
        return None
    return f"std::{type_name}::{CXX_METHODS[call.does]}"


STATES = {symbol: call.state for symbol, call in TABLE.items() if call.state}
OBJECTS = {symbol: call.objects for symbol, call in TABLE.items() if call.objects}
WRITERS = {symbol: call.writes for symbol, call in TABLE.items() if call.writes}
SLEEPS = named("sleep")
INPUTS = named("input")
WAITS = frozenset(symbol for symbol, state in STATES.items() if state not in (SLEEPING, INPUT))
LOCKS = named("lock", "trylock", "timedlock")
UNLOCKS = named("unlock")
COND_WAITS = named("cond-wait")
COND_WAKES = named("signal", "broadcast")
SIGNALS = named("signal")
RWLOCKS = named("read", "write", "try-read", "try-write")
RW_UNLOCKS = named("rw-unlock")
SEM_WAITS = named("sem-wait", "sem-trywait")
SEM_POSTS = named("sem-post")
JOINS = named("join", "wait-child")
THREAD_JOINS = named("join")
CHILD_WAITS = named("wait-child")
CREATES = named("create")
FUTEX_WAITS = named("wait", "future-wait")
FUTEX_WAKES = named("wake", "future-set")
# Calls that name threads and processes or write: few, looked at apart from the million others.
RARE = CREATES | THREAD_JOINS | named("exit", "fork", "wait-child", "sem-init", "sem-open") | frozenset(WRITERS)
# Calls that are slices in the trace.
SPANS = frozenset(symbol for symbol, call in TABLE.items()
                  if call.state or call.objects or call.does in ("create", "exit", "fork", "sem-open", "task"))
ASYNC_WAIT, ASYNC_TASK = "std::future::wait/async", "std::async task"
