/* The tool's recording library, loaded into the traced program alone with
 * LD_PRELOAD: an ordinary C function with the real prototype for each call
 * in the tool's table of calls, which writes the call down and forwards to
 * the next definition (the C library's, or libfaketime's under --speed).
 *
 * Each thread writes its calls into a buffer of its own, files mapped with
 * MAP_SHARED in the folder that TIMELINE_RECORD names: what a thread wrote
 * is in the kernel's page cache at once, so a crash, _exit, abort or SIGKILL
 * loses nothing, and a call still in flight is the open entry of its
 * thread's buffer. The files need no descriptor once mapped. Each process
 * writes its own files: a fork's child, and a program that a process execs,
 * each take a number of their own from the run's shared header.
 *
 * A call is written when the program's own code makes it: the library points
 * the program's own entries of its global offset table (through which it
 * calls into shared libraries, tail calls and -fno-plt calls included) at
 * the wrappers, which are not exported. Calls that the C and C++ libraries
 * make inside themselves do not reach them, except where the table of
 * calls says so: text that libstdc++ hands to the C library (its stream
 * buffers write through fwrite, putc and write), and thread creations,
 * through wrappers of their own that mark them as the library's.
 *
 * A record holds the call's entry and return on the real monotonic clock
 * (libc's own clock_gettime, whatever libfaketime fakes), the arguments that
 * the table names, the value returned, and for text handed to the C library,
 * its bytes. Text handed to a stdio stream takes a number from the run's
 * sequence under the stream's own lock, so that the order of the numbers is
 * the order in which the bytes entered the stream.
 *
 * Given a seed (TIMELINE_SHAKE, for --shake), the library also shakes the
 * run: before and after each call that synchronises threads, a thread
 * sleeps for a moment now and then, and at its start too, each thread
 * drawing from the seed and its creation's number, so that a seed repeats
 * its delays. Rare interleavings, and the bugs that hide in them, show.
 *
 * The library's files are mapped far from where the program's own memory
 * goes, so that they move none of it: a program that prints an address
 * prints the same one in every run (with address randomisation off).
 *
 * The library takes no lock that a forked child could inherit held, calls
 * the kernel directly for its own files, and is built with -fexceptions:
 * cancellation, pthread_exit and C++ exceptions unwind through its frames,
 * and a call that such an unwinding ends is written as ended there. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <execinfo.h>
#include <fcntl.h>
#include <link.h>
#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

/* The record kinds and the call numbers, from the tool's table of calls: a
 * header that the tool writes beside this file when it builds it. */
#include "calls.h"

/* Some of the wrapped functions are macros of the headers too. */
#undef fwrite_unlocked
#undef fputc_unlocked
#undef putc_unlocked
#undef putchar_unlocked
#undef fputs_unlocked
#undef getc
#undef putc

enum {
    firstRecords = 4096,  /* a thread's first segment, in records */
    mostRecords = 262144, /* the largest segment: 16 MiB */
    textBytes = 256,      /* of a text handed over, its beginning is kept; its length whole */
    mostOpen = 32,        /* calls in flight in one thread, nested */
    argumentBytes = 256,  /* memory read at a creation's argument */
    pointedBytes = 128,   /* and at each address found in its first words */
    pointersFollowed = 8,
    streambufOffset = 232, /* of std::basic_ios<char>'s _M_streambuf, in libstdc++'s stable ABI */
    stackFrames = 12,      /* return addresses kept of a wait on an object with no name */
};

/* The shake: a thread sleeps U(0, shakeNanos) before and after a
 * synchronising call with a chance of 1/2, which falls as steadyCalls/k
 * after its k-th such call, so that a long run stays short; and
 * U(0, startNanos) at its start with a chance of 1/2. */
static const uint64_t shakeNanos = 2000000;
static const uint64_t startNanos = 10000000;
static const uint64_t steadyCalls = 100;

/* Where the library maps its files: far below the program's own mappings
 * and above its heap, so that they take no place that the program's
 * would have. */
static const uintptr_t filesBase = 0x500000000000;

/* One call, 64 bytes. end is 0 while the call is in flight. A record with
 * text is followed by records of kind REC_TEXT that hold it, textPerRecord
 * bytes each, from their ret on: every record of a buffer has its kind, and
 * the starts of a buffer's records never fall. */
struct record {
    uint64_t start, end;
    uint16_t kind;
    uint16_t flags;
    uint32_t extra; /* the text's bytes after this record, or in this one */
    uint64_t ret;   /* the return address while in flight, then the value returned */
    uint64_t args[4];
};

enum { textPerRecord = 40 };

enum flags {
    unwound = 1,     /* ended by an unwinding: cancellation, pthread_exit, an exception */
    abandoned = 2,   /* left by a longjmp, and closed at the thread's next record */
    fromLibrary = 4, /* made inside the C++ library, or another library */
    streamError = 8, /* the stream's error flag was set after it */
};

/* A segment of a thread's buffer: this header, then records. */
struct segment {
    char magic[8];
    uint64_t count; /* records written, text included */
    uint32_t pid, tid, image, index, capacity, creation;
    uint64_t self; /* the thread's pthread_t */
    char spare[16];
};

/* The run's header, shared by every process of the run. */
struct shared {
    char magic[8];
    uint64_t sequence; /* the order of text handed to streams, over every process */
    uint32_t images;   /* one for each process, and for each program that a process execs */
    uint32_t spare;
};

struct open {
    struct record *record;
    uintptr_t frame;
};

/* What a thread keeps of its own buffer. */
struct thread {
    struct segment *segment;
    struct record *records;
    uint32_t count, capacity, index;
    int generation; /* the process's when the buffer was set up: a fork's child makes its own */
    int tid, failed, busy, depth;
    uint32_t creation; /* its creation's number, 0 where the library did not see it begin */
    struct open open[mostOpen];
    uint64_t random;   /* the shake's generator, from the seed and the creation's number */
    uint64_t synchronising; /* calls made that synchronise, for the shake's chance */
    int seeded;
};

static __thread struct thread me __attribute__((tls_model("initial-exec")));
/* Set by vfork in the thread that calls it: the child shares its memory,
 * and writes nothing, until it execs or ends. */
__thread int inVfork __attribute__((tls_model("initial-exec")));

static char folder[1024];
static struct shared *run;
static int ready, generation;
static uint32_t image;
static uintptr_t cxxLow, cxxHigh; /* the C++ library's code */
static uint32_t creations; /* of this process */
static unsigned long self;  /* this process's id */
static int (*monotonic)(clockid_t, struct timespec *);
static int shaking;
static uint64_t shakeSeed;
static uintptr_t nextFile = filesBase;
static struct sigaction previous[NSIG];
static const int fatalSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGSYS};

/* ---- the kernel, called directly: the library's own files pass through none of its wrappers ---- */

static long sys6(long number, long a, long b, long c, long d, long e, long f)
{
    long result;
    register long r10 __asm__("r10") = d;
    register long r8 __asm__("r8") = e;
    register long r9 __asm__("r9") = f;
    __asm__ volatile("syscall"
                     : "=a"(result)
                     : "a"(number), "D"(a), "S"(b), "d"(c), "r"(r10), "r"(r8), "r"(r9)
                     : "rcx", "r11", "memory");
    return result;
}

static uint64_t now(void)
{
    struct timespec time;
    if (monotonic) {
        monotonic(CLOCK_MONOTONIC, &time);
    } else {
        sys6(SYS_clock_gettime, CLOCK_MONOTONIC, (long)&time, 0, 0, 0, 0);
    }
    return (uint64_t)time.tv_sec * 1000000000u + (uint64_t)time.tv_nsec;
}

static char *put_number(char *at, unsigned long value)
{
    char digits[24];
    int count = 0;
    do {
        digits[count++] = (char)('0' + value % 10);
        value /= 10;
    } while (value);
    while (count) {
        *at++ = digits[--count];
    }
    return at;
}

/* folder/name in path, of size bytes. */
static void path_of(char *path, size_t size, const char *name)
{
    size_t at = 0;
    for (const char *c = folder; *c && at + 2 < size; c++) {
        path[at++] = *c;
    }
    path[at++] = '/';
    for (const char *c = name; *c && at + 1 < size; c++) {
        path[at++] = *c;
    }
    path[at] = 0;
}

/* A place for a mapping of size bytes among the library's files. */
static void *place_for(size_t size)
{
    size_t whole = (size + 0xFFFFF) & ~(size_t)0xFFFFF;
    return (void *)__atomic_fetch_add(&nextFile, whole, __ATOMIC_RELAXED);
}

/* An open file mapped whole among the library's files: the address, or
 * minus an error number. */
static long map_file(long file, size_t size)
{
    long memory = -EEXIST;
    for (int tries = 0; tries < 8 && memory == -EEXIST; tries++) { /* a place the program took is passed over */
        memory = sys6(SYS_mmap, (long)place_for(size), (long)size, PROT_READ | PROT_WRITE,
                      MAP_SHARED | MAP_FIXED_NOREPLACE, file, 0);
    }
    if (memory < 0 && memory > -4096) { /* a kernel without MAP_FIXED_NOREPLACE: anywhere */
        memory = sys6(SYS_mmap, 0, (long)size, PROT_READ | PROT_WRITE, MAP_SHARED, file, 0);
    }
    return memory;
}

/* A file of the given size in the folder, mapped; NULL where it cannot be. */
static void *mapped(const char *name, size_t size)
{
    char path[1200];
    path_of(path, sizeof path, name);
    long file = sys6(SYS_open, (long)path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600, 0, 0, 0);
    if (file < 0) {
        return NULL;
    }
    long memory = -1;
    if (sys6(SYS_ftruncate, file, (long)size, 0, 0, 0, 0) == 0) {
        memory = map_file(file, size);
    }
    sys6(SYS_close, file, 0, 0, 0, 0, 0);
    return memory < 0 && memory > -4096 ? NULL : (void *)memory;
}

/* ---- a thread's buffer ---- */

/* The thread's first segment, or in a forked child its own. */
static void fresh_thread(void)
{
    me.segment = NULL;
    me.records = NULL;
    me.count = me.capacity = me.index = 0;
    me.depth = me.failed = 0;
    me.generation = generation;
    me.tid = (int)sys6(SYS_gettid, 0, 0, 0, 0, 0, 0);
}

/* The next segment of the thread's buffer. The one before leaves the
 * program's memory, its pages kept in the file: a long run does not grow
 * the program. It stays mapped, for a call in flight there to be ended. */
static int grow(void)
{
    uint32_t capacity = me.capacity ? me.capacity * 2 : firstRecords;
    capacity = capacity > mostRecords ? mostRecords : capacity;
    uint32_t index = me.segment ? me.index + 1 : 0;
    char name[96] = "i", *at = put_number(name + 1, image);
    *at++ = '-';
    at = put_number(at, (unsigned long)me.tid);
    *at++ = '-';
    at = put_number(at, index);
    memcpy(at, ".rec", 5);
    size_t size = sizeof(struct segment) + (size_t)capacity * sizeof(struct record);
    struct segment *segment = mapped(name, size);
    if (!segment) {
        me.failed = 1;
        return 0;
    }
    if (me.segment) {
        sys6(SYS_madvise, (long)me.segment,
             (long)(sizeof(struct segment) + (size_t)me.capacity * sizeof(struct record)), MADV_DONTNEED, 0, 0, 0);
    }
    memcpy(segment->magic, "TLREC01", 8);
    segment->pid = (uint32_t)sys6(SYS_getpid, 0, 0, 0, 0, 0, 0);
    segment->tid = (uint32_t)me.tid;
    segment->image = image;
    segment->index = index;
    segment->capacity = capacity;
    segment->creation = me.creation;
    segment->self = (uint64_t)pthread_self();
    me.segment = segment;
    me.records = (struct record *)(segment + 1);
    me.count = 0;
    me.capacity = capacity;
    me.index = index;
    return 1;
}

/* Room for n records together, in one segment. */
static struct record *room(uint32_t n)
{
    if (me.generation != generation || !me.tid) {
        fresh_thread();
    }
    if ((!me.segment || me.count + n > me.capacity) && !grow()) {
        return NULL;
    }
    if (me.count + n > me.capacity) {
        return NULL;
    }
    struct record *found = &me.records[me.count];
    me.count += n;
    return found;
}

/* Calls in flight that a longjmp left: their frames lie below this one. */
static void close_abandoned(uintptr_t frame, uint64_t time)
{
    while (me.depth > 0 && me.open[me.depth - 1].frame <= frame) {
        struct record *left = me.open[--me.depth].record;
        left->end = time;
        left->flags |= abandoned;
    }
}

static int from_cxx(uintptr_t caller)
{
    return caller >= cxxLow && caller < cxxHigh;
}

/* A record begun, with its text (length bytes) right after it; or NULL
 * where none is written: the
 * library not ready, a vfork's child, or a record already being written in
 * this thread (by the code that a signal handler interrupted). The writing
 * ends with done(). */
static struct record *begin_record(uint16_t kind, uint16_t flags, uintptr_t frame, const void *text, size_t length)
{
    if (!ready || inVfork || me.busy || me.failed) {
        return NULL;
    }
    me.busy = 1;
    uint64_t time = now();
    if (frame) {
        close_abandoned(frame, time);
    }
    size_t kept = length;
    uint32_t more = (uint32_t)((kept + textPerRecord - 1) / textPerRecord);
    struct record *record = room(1 + more);
    if (!record) {
        me.busy = 0;
        return NULL;
    }
    record->start = time;
    record->kind = kind;
    record->flags = flags;
    record->extra = (uint32_t)kept;
    for (uint32_t i = 0; i < more; i++) {
        struct record *holder = record + 1 + i;
        size_t part = kept - i * textPerRecord < textPerRecord ? kept - i * textPerRecord : textPerRecord;
        holder->start = time;
        holder->kind = REC_TEXT;
        holder->extra = (uint32_t)part;
        memcpy(&holder->ret, (const char *)text + i * textPerRecord, part);
    }
    return record;
}

static void done(void)
{
    me.segment->count = me.count;
    me.busy = 0;
}

/* A record of a moment, not of a call: a thread's beginning and end, a
 * process ending. */
static void moment(uint16_t kind, uint64_t first, uint64_t second)
{
    struct record *record = begin_record(kind, 0, 0, NULL, 0);
    if (record) {
        record->end = record->start;
        record->args[0] = first;
        record->args[1] = second;
        done();
    }
}

/* ---- the shake ---- */

static uint64_t mix(uint64_t x)
{
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9u;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBu;
    return x ^ (x >> 31);
}

static uint64_t draw(void)
{
    if (!me.seeded) { /* the main thread, or one that the library did not see begin */
        me.random = mix(shakeSeed ^ mix((uint64_t)me.creation + 1));
        me.seeded = 1;
    }
    me.random += 0x9E3779B97F4A7C15u;
    return mix(me.random);
}

/* Sleeps for a while drawn below most, with a chance of one in two, by
 * the kernel itself: neither libfaketime nor the record sees it. */
static void pause_maybe(uint64_t most, uint64_t chance)
{
    if (draw() >= chance) {
        return;
    }
    uint64_t nanos = draw() % (most + 1);
    struct timespec pause = {(time_t)(nanos / 1000000000u), (long)(nanos % 1000000000u)};
    sys6(SYS_nanosleep, (long)&pause, 0, 0, 0, 0, 0);
}

/* Before and after a call that synchronises. */
static void shake(void)
{
    if (!shaking || inVfork) {
        return;
    }
    uint64_t k = ++me.synchronising;
    uint64_t half = UINT64_C(1) << 63;
    pause_maybe(shakeNanos, k <= steadyCalls ? half : half / k * steadyCalls);
}

static int synchronises(uint16_t kind)
{
    return kind >= FIRST_CALL && (size_t)(kind - FIRST_CALL) < sizeof synchronising &&
           synchronising[kind - FIRST_CALL];
}

/* ---- a call: begun on entry, ended on return or by an unwinding ---- */

struct call {
    struct record *record;
    int shaken; /* the call synchronises, and the thread sleeps after it too */
};

/* A call begun. Its caller's return address says where the program made
 * it: kept in its fourth argument, which calls of fewer arguments leave
 * free, and in its value while it is in flight. */
static struct call enter_text(uint16_t kind, uintptr_t caller, uintptr_t frame, uint16_t flags, const void *text,
                              size_t length)
{
    int shaken = shaking && !(flags & fromLibrary) && synchronises(kind);
    if (shaken) {
        shake();
    }
    struct call call = {begin_record(kind, flags, frame, text, length), shaken};
    if (call.record) {
        call.record->ret = caller;
        call.record->args[3] = caller;
        if (me.depth < mostOpen) {
            me.open[me.depth].record = call.record;
            me.open[me.depth].frame = frame;
            me.depth++;
        }
        done();
    }
    return call;
}

static struct call enter(uint16_t kind, uintptr_t caller, uintptr_t frame, uint16_t flags)
{
    return enter_text(kind, caller, frame, flags, NULL, 0);
}

/* A call entered with the return addresses of its callers as its text:
 * where a wait on an object that has no name of its own was made, through
 * the library's header code compiled into the program, up to the
 * program's own line that names the object. */
static struct call enter_with_stack(uint16_t kind, uintptr_t caller, uintptr_t frame)
{
    void *stack[stackFrames + 1];
    int depth = ready && !inVfork && !me.busy ? backtrace(stack, stackFrames + 1) : 0;
    return enter_text(kind, caller, frame, 0, stack + 1, depth > 1 ? (size_t)(depth - 1) * sizeof(void *) : 0);
}

static void close_call(struct call *call, uint64_t value, uint16_t flags)
{
    struct record *record = call->record;
    if (!record) {
        return;
    }
    call->record = NULL;
    uint64_t time = now();
    /* Calls opened inside this one and not closed were left by a longjmp. */
    while (me.depth > 0 && me.open[me.depth - 1].record != record) {
        struct record *left = me.open[--me.depth].record;
        left->end = time;
        left->flags |= abandoned;
    }
    if (me.depth > 0) {
        me.depth--;
    }
    record->ret = value;
    record->flags |= flags;
    record->end = time;
}

static void leave(struct call *call, uint64_t value)
{
    int shaken = call->shaken;
    close_call(call, value, 0);
    if (shaken) {
        call->shaken = 0;
        shake();
    }
}

/* Run as a wrapper's frame goes: after leave() it finds nothing to do; in
 * an unwinding it ends the call there. */
static void unwinding(struct call *call)
{
    close_call(call, 0, unwound);
}

#define CALLER ((uintptr_t)__builtin_return_address(0))
#define FRAME ((uintptr_t)__builtin_frame_address(0))
/* The call, written: only the program's own code reaches a wrapper. */
#define RECORDING(kind) struct call call __attribute__((cleanup(unwinding))) = enter(kind, CALLER, FRAME, 0)
#define ARG(n, value) \
    do { \
        if (call.record) { \
            call.record->args[n] = (uint64_t)(uintptr_t)(value); \
        } \
    } while (0)

/* The next definition of a function, looked up on first use: a library's
 * constructor (libfaketime's) may call it before this one's has run. */
#define REAL(name) \
    static __typeof__(name) *real; \
    if (!real) { \
        real = (__typeof__(name) *)dlsym(RTLD_NEXT, #name); \
    }
/* The POSIX condition calls have an older version too: the current one. */
#define REAL_CURRENT(name) \
    static __typeof__(name) *real; \
    if (!real) { \
        real = (__typeof__(name) *)dlvsym(RTLD_NEXT, #name, "GLIBC_2.3.2"); \
    }

/* Each wrapper registers itself, with the library's wrapper of the same
 * function where there is one, in a section that the loader's patcher
 * reads (hook_module). */
struct hook {
    const char *name;
    void *program, *library;
};
#define HOOK(name) \
    static const struct hook hook_##name __attribute__((used, section("timeline_hooks"), aligned(8))) = { \
        #name, (void *)name, NULL}
#define HOOK_NAMED(symbol, function) \
    static const struct hook hook_##function __attribute__((used, section("timeline_hooks"), aligned(8))) = { \
        symbol, (void *)function, NULL}
#define HOOK_BOTH(name) \
    static const struct hook hook_##name __attribute__((used, section("timeline_hooks"), aligned(8))) = { \
        #name, (void *)name, (void *)library_##name}

/* A wrapper of a call with one argument, which it records. */
#define WRAP1(type, name, t1, a1) \
    type name(t1 a1) \
    { \
        REAL(name); \
        RECORDING(CALL_##name); \
        ARG(0, a1); \
        type result = real(a1); \
        leave(&call, (uint64_t)(long)result); \
        return result; \
    } \
    HOOK(name);

/* ---- threads ---- */

struct start {
    void *(*routine)(void *);
    void *arg;
    uint32_t creation;
};

static void thread_ended(uint32_t *creation)
{
    moment(REC_END, *creation, 0);
}

/* Where every thread that pthread_create makes begins: its beginning and
 * its end are written, however it ends (a return, pthread_exit, a cancel). */
static void *begin(void *opaque)
{
    struct start start = *(struct start *)opaque;
    free(opaque);
    me.creation = start.creation;
    if (shaking) {
        me.seeded = 0;
        pause_maybe(startNanos, UINT64_C(1) << 63);
    }
    moment(REC_BEGIN, start.creation, (uint64_t)pthread_self());
    uint32_t creation __attribute__((cleanup(thread_ended))) = start.creation;
    return start.routine(start.arg);
}

/* What lies at an address, read without faulting. */
static long peek(uintptr_t address, void *into, long size)
{
    if (address < 4096) {
        return -1;
    }
    struct iovec local = {into, (size_t)size}, remote = {(void *)address, (size_t)size};
    return sys6(SYS_process_vm_readv, sys6(SYS_getpid, 0, 0, 0, 0, 0, 0), (long)&local, 1, (long)&remote, 1, 0);
}

/* The memory at a creation's argument (where std::thread keeps what its
 * thread runs), and at the addresses found in its first words: an address,
 * a length and the bytes, each. Returns the length. */
enum { memoryBytes = 16 + argumentBytes + pointersFollowed * (16 + pointedBytes) };

static size_t read_memory(unsigned char *text, uintptr_t arg)
{
    long got = peek(arg, text + 16, argumentBytes);
    if (got <= 0) {
        return 0;
    }
    uint64_t head[2] = {arg, (uint64_t)got};
    memcpy(text, head, sizeof head);
    size_t length = 16 + (size_t)((got + 7) & ~7L);
    for (long at = 0; at + 8 <= got && at < 8 * pointersFollowed; at += 8) {
        uint64_t word;
        memcpy(&word, text + 16 + at, 8);
        if (word < 4096 || word >= 0x800000000000ull || word == arg) {
            continue;
        }
        long more = peek(word, text + length + 16, pointedBytes);
        if (more > 0) {
            uint64_t about[2] = {word, (uint64_t)more};
            memcpy(text + length, about, sizeof about);
            length += 16 + (size_t)((more + 7) & ~7L);
        }
    }
    return length;
}

/* A creation is written whoever makes it (libstdc++ for std::thread,
 * libgomp for OpenMP's threads); only the program's is its call. */
static int create(pthread_t *thread, const pthread_attr_t *attr, void *(*routine)(void *), void *arg,
                  uintptr_t caller, uintptr_t frame, uint16_t flags)
{
    REAL(pthread_create);
    struct start *start = ready ? malloc(sizeof *start) : NULL;
    if (!start) {
        return real(thread, attr, routine, arg);
    }
    start->routine = routine;
    start->arg = arg;
    start->creation = __atomic_add_fetch(&creations, 1, __ATOMIC_RELAXED);
    unsigned char memory[memoryBytes];
    size_t length = read_memory(memory, (uintptr_t)arg);
    struct call call __attribute__((cleanup(unwinding))) =
        enter_text(CALL_pthread_create, caller, frame, flags, memory, length);
    ARG(0, thread);
    ARG(1, routine);
    ARG(2, arg);
    ARG(3, start->creation);
    int result = real(thread, attr, begin, start);
    if (result != 0) {
        free(start);
    }
    leave(&call, (uint64_t)(long)result);
    return result;
}

int pthread_create(pthread_t *thread, const pthread_attr_t *attr, void *(*routine)(void *), void *arg)
{
    return create(thread, attr, routine, arg, CALLER, FRAME, 0);
}

static int library_pthread_create(pthread_t *thread, const pthread_attr_t *attr, void *(*routine)(void *), void *arg)
{
    return create(thread, attr, routine, arg, CALLER, FRAME, fromLibrary);
}
HOOK_BOTH(pthread_create);

int pthread_join(pthread_t thread, void **value)
{
    REAL(pthread_join);
    RECORDING(CALL_pthread_join);
    ARG(0, thread);
    int result = real(thread, value);
    leave(&call, (uint64_t)(long)result);
    return result;
}
HOOK(pthread_join);

/* std::thread's start, and std::thread::join: the std::thread holds the
 * handle of its thread, written as it is now, for the object may have
 * moved since its creation (in a vector that grew). std::async joins its
 * thread from inside libstdc++. */
void _ZNSt6thread15_M_start_threadESt10unique_ptrINS_6_StateESt14default_deleteIS1_EEPFvvE(void *self, void *state,
                                                                                          void (*unused)(void))
{
    REAL(_ZNSt6thread15_M_start_threadESt10unique_ptrINS_6_StateESt14default_deleteIS1_EEPFvvE);
    RECORDING(CALL__ZNSt6thread15_M_start_threadESt10unique_ptrINS_6_StateESt14default_deleteIS1_EEPFvvE);
    ARG(0, self);
    real(self, state, unused);
    leave(&call, 0);
}
HOOK(_ZNSt6thread15_M_start_threadESt10unique_ptrINS_6_StateESt14default_deleteIS1_EEPFvvE);

void _ZNSt6thread4joinEv(uint64_t *self)
{
    REAL(_ZNSt6thread4joinEv);
    /* std::async's state joins through the address that the program took:
     * from inside libstdc++. */
    uintptr_t caller = CALLER;
    struct call call __attribute__((cleanup(unwinding))) =
        enter(CALL__ZNSt6thread4joinEv, caller, FRAME, from_cxx(caller) ? fromLibrary : 0);
    ARG(0, self);
    ARG(1, *self);
    real(self);
    leave(&call, 0);
}
HOOK(_ZNSt6thread4joinEv);

void pthread_exit(void *value)
{
    REAL(pthread_exit);
    RECORDING(CALL_pthread_exit);
    ARG(0, value);
    real(value);
    __builtin_unreachable();
}
HOOK(pthread_exit);

/* std::async runs its task inside a call of pthread_once. */
int pthread_once(pthread_once_t *control, void (*routine)(void))
{
    REAL(pthread_once);
    RECORDING(CALL_pthread_once);
    ARG(0, control);
    int result = real(control, routine);
    leave(&call, (uint64_t)(long)result);
    return result;
}
HOOK(pthread_once);

/* C++20's waits spin with sched_yield before they wait. */
int sched_yield(void)
{
    REAL(sched_yield);
    RECORDING(CALL_sched_yield);
    int result = real();
    leave(&call, (uint64_t)(long)result);
    return result;
}
HOOK(sched_yield);

/* ---- processes ---- */

/* Who a process is, and its map of modules, in a file of its own. A
 * forked child takes its parent from the memory it copied: its parent may
 * have ended by now (a daemon's), and it would be taken for init's. */
static void describe_process(unsigned long parent)
{
    image = __atomic_add_fetch(&run->images, 1, __ATOMIC_RELAXED);
    char name[64] = "i", *at = put_number(name + 1, image);
    memcpy(at, ".maps", 6);
    char path[1200];
    path_of(path, sizeof path, name);
    long file = sys6(SYS_open, (long)path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600, 0, 0, 0);
    if (file < 0) {
        return;
    }
    char line[1400] = "process ", *end = put_number(line + 8, (unsigned long)sys6(SYS_getpid, 0, 0, 0, 0, 0, 0));
    *end++ = ' ';
    end = put_number(end, parent ? parent : (unsigned long)sys6(SYS_getppid, 0, 0, 0, 0, 0, 0));
    *end++ = ' ';
    end = put_number(end, now());
    *end++ = ' ';
    long length = sys6(SYS_readlink, (long)"/proc/self/exe", (long)end, 1024, 0, 0, 0);
    end += length > 0 ? length : 0;
    *end++ = '\n';
    sys6(SYS_write, file, (long)line, end - line, 0, 0, 0);
    long maps = sys6(SYS_open, (long)"/proc/self/maps", O_RDONLY | O_CLOEXEC, 0, 0, 0, 0);
    char chunk[4096];
    long got;
    while (maps >= 0 && (got = sys6(SYS_read, maps, (long)chunk, sizeof chunk, 0, 0, 0)) > 0) {
        sys6(SYS_write, file, (long)chunk, got, 0, 0, 0);
    }
    if (maps >= 0) {
        sys6(SYS_close, maps, 0, 0, 0, 0, 0);
    }
    sys6(SYS_close, file, 0, 0, 0, 0, 0);
}

static void forked_child(void)
{
    if (ready) {
        unsigned long parent = self;
        self = (unsigned long)sys6(SYS_getpid, 0, 0, 0, 0, 0, 0);
        generation++;
        creations = 0;
        me.creation = 0;
        describe_process(parent);
    }
}

pid_t fork(void)
{
    REAL(fork);
    RECORDING(CALL_fork);
    uint64_t began = call.record ? call.record->start : 0;
    pid_t result = real();
    if (result == 0 && began) {
        /* The child: the record above is its parent's; it writes its own. */
        call.record = NULL;
        struct record *record = begin_record(CALL_fork, 0, 0, NULL, 0);
        if (record) {
            record->start = began;
            record->end = now();
            done();
        }
        return 0;
    }
    leave(&call, (uint64_t)(long)result);
    return result;
}
HOOK(fork);

/* vfork's child shares its parent's memory, and so this thread's buffer,
 * until it execs or ends: the flag set here keeps it from writing there.
 * The child runs on its parent's stack, so this is written as the C library
 * writes vfork, with no frame of its own: the return address is kept in a
 * register across the system call. */
__asm__(".text\n"
        ".globl vfork\n"
        ".hidden vfork\n"
        ".type vfork, @function\n"
        "vfork:\n"
        "    movq inVfork@gottpoff(%rip), %rcx\n"
        "    movl $1, %fs:(%rcx)\n"
        "    popq %rdi\n"
        "    movl $58, %eax\n" /* SYS_vfork */
        "    syscall\n"
        "    pushq %rdi\n"
        "    testq %rax, %rax\n"
        "    jz 1f\n" /* the child */
        "    movq inVfork@gottpoff(%rip), %rcx\n"
        "    movl $0, %fs:(%rcx)\n"
        "    cmpq $-4095, %rax\n"
        "    jae 2f\n"
        "1:  ret\n"
        "2:  negl %eax\n"
        "    movl %eax, %edi\n"
        "    jmp vfork_failed\n"
        ".size vfork, .-vfork\n");

__attribute__((used)) int vfork_failed(int error)
{
    errno = error;
    return -1;
}
HOOK(vfork);

pid_t wait(int *status)
{
    REAL(wait);
    RECORDING(CALL_wait);
    pid_t result = real(status);
    leave(&call, (uint64_t)(long)result);
    return result;
}
HOOK(wait);

pid_t waitpid(pid_t pid, int *status, int options)
{
    REAL(waitpid);
    RECORDING(CALL_waitpid);
    ARG(0, (long)pid);
    ARG(1, options);
    pid_t result = real(pid, status, options);
    leave(&call, (uint64_t)(long)result);
    return result;
}
HOOK(waitpid);

/* ---- mutexes, read-write locks, conditions, barriers, semaphores ---- */

WRAP1(int, pthread_mutex_lock, pthread_mutex_t *, mutex)
WRAP1(int, pthread_mutex_trylock, pthread_mutex_t *, mutex)
WRAP1(int, pthread_mutex_unlock, pthread_mutex_t *, mutex)
WRAP1(int, pthread_rwlock_rdlock, pthread_rwlock_t *, lock)
WRAP1(int, pthread_rwlock_wrlock, pthread_rwlock_t *, lock)
WRAP1(int, pthread_rwlock_tryrdlock, pthread_rwlock_t *, lock)
WRAP1(int, pthread_rwlock_trywrlock, pthread_rwlock_t *, lock)
WRAP1(int, pthread_rwlock_unlock, pthread_rwlock_t *, lock)
WRAP1(int, pthread_barrier_wait, pthread_barrier_t *, barrier)
WRAP1(int, sem_wait, sem_t *, semaphore)
WRAP1(int, sem_trywait, sem_t *, semaphore)
WRAP1(int, sem_post, sem_t *, semaphore)

/* A wrapper of a call on an object with a deadline. */
#define WRAP_TIMED(name, type) \
    int name(type *object, const struct timespec *until) \
    { \
        REAL(name); \
        RECORDING(CALL_##name); \
        ARG(0, object); \
        int result = real(object, until); \
        leave(&call, (uint64_t)(long)result); \
        return result; \
    } \
    HOOK(name);
/* And with a clock for it. */
#define WRAP_CLOCK(name, type) \
    int name(type *object, clockid_t clock, const struct timespec *until) \
    { \
        REAL(name); \
        RECORDING(CALL_##name); \
        ARG(0, object); \
        ARG(1, clock); \
        int result = real(object, clock, until); \
        leave(&call, (uint64_t)(long)result); \
        return result; \
    } \
    HOOK(name);

WRAP_TIMED(pthread_mutex_timedlock, pthread_mutex_t)
WRAP_CLOCK(pthread_mutex_clocklock, pthread_mutex_t)
WRAP_TIMED(pthread_rwlock_timedrdlock, pthread_rwlock_t)
WRAP_TIMED(pthread_rwlock_timedwrlock, pthread_rwlock_t)
WRAP_CLOCK(pthread_rwlock_clockrdlock, pthread_rwlock_t)
WRAP_CLOCK(pthread_rwlock_clockwrlock, pthread_rwlock_t)
WRAP_TIMED(sem_timedwait, sem_t)
WRAP_CLOCK(sem_clockwait, sem_t)

int pthread_cond_wait(pthread_cond_t *cond, pthread_mutex_t *mutex)
{
    REAL_CURRENT(pthread_cond_wait);
    RECORDING(CALL_pthread_cond_wait);
    ARG(0, cond);
    ARG(1, mutex);
    int result = real(cond, mutex);
    leave(&call, (uint64_t)(long)result);
    return result;
}
HOOK(pthread_cond_wait);

int pthread_cond_timedwait(pthread_cond_t *cond, pthread_mutex_t *mutex, const struct timespec *until)
{
    REAL_CURRENT(pthread_cond_timedwait);
    RECORDING(CALL_pthread_cond_timedwait);
    ARG(0, cond);
    ARG(1, mutex);
    int result = real(cond, mutex, until);
    leave(&call, (uint64_t)(long)result);
    return result;
}
HOOK(pthread_cond_timedwait);

int pthread_cond_clockwait(pthread_cond_t *cond, pthread_mutex_t *mutex, clockid_t clock, const struct timespec *until)
{
    REAL(pthread_cond_clockwait);
    RECORDING(CALL_pthread_cond_clockwait);
    ARG(0, cond);
    ARG(1, mutex);
    ARG(2, clock);
    int result = real(cond, mutex, clock, until);
    leave(&call, (uint64_t)(long)result);
    return result;
}
HOOK(pthread_cond_clockwait);

int pthread_cond_signal(pthread_cond_t *cond)
{
    REAL_CURRENT(pthread_cond_signal);
    RECORDING(CALL_pthread_cond_signal);
    ARG(0, cond);
    int result = real(cond);
    leave(&call, (uint64_t)(long)result);
    return result;
}
HOOK(pthread_cond_signal);

int pthread_cond_broadcast(pthread_cond_t *cond)
{
    REAL_CURRENT(pthread_cond_broadcast);
    RECORDING(CALL_pthread_cond_broadcast);
    ARG(0, cond);
    int result = real(cond);
    leave(&call, (uint64_t)(long)result);
    return result;
}
HOOK(pthread_cond_broadcast);

int sem_init(sem_t *semaphore, int shared, unsigned value)
{
    REAL(sem_init);
    RECORDING(CALL_sem_init);
    ARG(0, semaphore);
    ARG(1, shared);
    ARG(2, value);
    int result = real(semaphore, shared, value);
    leave(&call, (uint64_t)(long)result);
    return result;
}
HOOK(sem_init);

/* A named semaphore, with its name after the record. */
sem_t *sem_open(const char *name, int flags, ...)
{
    REAL(sem_open);
    va_list more;
    va_start(more, flags);
    mode_t mode = flags & O_CREAT ? va_arg(more, mode_t) : 0;
    unsigned value = flags & O_CREAT ? va_arg(more, unsigned) : 0;
    va_end(more);
    struct call call __attribute__((cleanup(unwinding))) =
        enter_text(CALL_sem_open, CALLER, FRAME, 0, name, strnlen(name, textBytes));
    ARG(0, flags);
    ARG(1, mode);
    ARG(2, value);
    sem_t *result = real(name, flags, mode, value);
    leave(&call, (uint64_t)result);
    return result;
}
HOOK(sem_open);

/* The futex system call, under C++20's semaphores, latches, barriers and
 * atomic waits: written when it is one, with its word, operation and
 * value. Every argument is passed on: the C library's syscall takes six. */
long syscall(long number, ...)
{
    REAL(syscall);
    va_list more;
    va_start(more, number);
    long a = va_arg(more, long), b = va_arg(more, long), c = va_arg(more, long);
    long d = va_arg(more, long), e = va_arg(more, long), f = va_arg(more, long);
    va_end(more);
    struct call call __attribute__((cleanup(unwinding))) = {NULL};
    if (number == SYS_futex) {
        call = enter_with_stack(CALL_syscall, CALLER, FRAME);
    }
    ARG(0, a);
    ARG(1, b);
    ARG(2, c);
    long result = real(number, a, b, c, d, e, f);
    leave(&call, (uint64_t)result);
    return result;
}
HOOK(syscall);

/* ---- C++'s condition variable and futures ---- */

/* std::condition_variable::wait(std::unique_lock<std::mutex>&): the
 * unique_lock's first word is its mutex. */
void _ZNSt18condition_variable4waitERSt11unique_lockISt5mutexE(void *self, void **lock)
{
    REAL(_ZNSt18condition_variable4waitERSt11unique_lockISt5mutexE);
    struct call call __attribute__((cleanup(unwinding))) =
        enter_with_stack(CALL__ZNSt18condition_variable4waitERSt11unique_lockISt5mutexE, CALLER, FRAME);
    ARG(0, self);
    ARG(1, *lock);
    real(self, lock);
    leave(&call, 0);
}
HOOK(_ZNSt18condition_variable4waitERSt11unique_lockISt5mutexE);

void _ZNSt18condition_variable10notify_oneEv(void *self)
{
    REAL(_ZNSt18condition_variable10notify_oneEv);
    RECORDING(CALL__ZNSt18condition_variable10notify_oneEv);
    ARG(0, self);
    real(self);
    leave(&call, 0);
}
HOOK(_ZNSt18condition_variable10notify_oneEv);

void _ZNSt18condition_variable10notify_allEv(void *self)
{
    REAL(_ZNSt18condition_variable10notify_allEv);
    RECORDING(CALL__ZNSt18condition_variable10notify_allEv);
    ARG(0, self);
    real(self);
    leave(&call, 0);
}
HOOK(_ZNSt18condition_variable10notify_allEv);

/* A future's wait on a word of its shared state: (this, the word, the
 * value to wait past, whether there is a deadline, its seconds and
 * nanoseconds). */
#define FUTURE_WAIT(name) \
    _Bool name(void *self, unsigned *word, unsigned value, _Bool timed, long seconds, long nanoseconds) \
    { \
        REAL(name); \
        struct call call __attribute__((cleanup(unwinding))) = enter_with_stack(CALL_##name, CALLER, FRAME); \
        ARG(0, word); \
        ARG(1, timed); \
        _Bool result = real(self, word, value, timed, seconds, nanoseconds); \
        leave(&call, result); \
        return result; \
    } \
    HOOK(name);
FUTURE_WAIT(_ZNSt28__atomic_futex_unsigned_base19_M_futex_wait_untilEPjjbNSt6chrono8durationIlSt5ratioILl1ELl1EEEENS2_IlS3_ILl1ELl1000000000EEEE)
FUTURE_WAIT(_ZNSt28__atomic_futex_unsigned_base26_M_futex_wait_until_steadyEPjjbNSt6chrono8durationIlSt5ratioILl1ELl1EEEENS2_IlS3_ILl1ELl1000000000EEEE)

void _ZNSt28__atomic_futex_unsigned_base19_M_futex_notify_allEPj(unsigned *word)
{
    REAL(_ZNSt28__atomic_futex_unsigned_base19_M_futex_notify_allEPj);
    RECORDING(CALL__ZNSt28__atomic_futex_unsigned_base19_M_futex_notify_allEPj);
    ARG(0, word);
    real(word);
    leave(&call, 0);
}
HOOK(_ZNSt28__atomic_futex_unsigned_base19_M_futex_notify_allEPj);

/* ---- sleeps ---- */

int nanosleep(const struct timespec *asked, struct timespec *left)
{
    REAL(nanosleep);
    RECORDING(CALL_nanosleep);
    ARG(0, asked ? asked->tv_sec : 0);
    ARG(1, asked ? asked->tv_nsec : 0);
    int result = real(asked, left);
    leave(&call, (uint64_t)(long)result);
    return result;
}
HOOK(nanosleep);

int clock_nanosleep(clockid_t clock, int flags, const struct timespec *asked, struct timespec *left)
{
    REAL(clock_nanosleep);
    RECORDING(CALL_clock_nanosleep);
    ARG(0, clock);
    ARG(1, flags);
    ARG(2, asked ? asked->tv_sec : 0);
    ARG(3, asked ? asked->tv_nsec : 0);
    int result = real(clock, flags, asked, left);
    leave(&call, (uint64_t)(long)result);
    return result;
}
HOOK(clock_nanosleep);

/* sleep and usleep sleep through the next nanosleep, as the C library's
 * own do: under libfaketime, its sleep returns what nanosleep left in a
 * structure it did not set on success, which depends on the stack below it
 * and so on what called it; this returns what the C library's sleep would. */
static int next_nanosleep(const struct timespec *asked, struct timespec *left)
{
    REAL(nanosleep);
    return real(asked, left);
}

unsigned sleep(unsigned seconds)
{
    RECORDING(CALL_sleep);
    ARG(0, seconds);
    int saved = errno;
    struct timespec asked = {(time_t)seconds, 0}, left = {0, 0};
    unsigned result = 0;
    if (next_nanosleep(&asked, &left) < 0) {
        result = (unsigned)left.tv_sec; /* the whole seconds left, as the C library's sleep says */
    } else {
        errno = saved;
    }
    leave(&call, result);
    return result;
}
HOOK(sleep);

int usleep(useconds_t micros)
{
    RECORDING(CALL_usleep);
    ARG(0, micros);
    struct timespec asked = {(time_t)(micros / 1000000), (long)(micros % 1000000) * 1000};
    int result = next_nanosleep(&asked, NULL);
    leave(&call, (uint64_t)(long)result);
    return result;
}
HOOK(usleep);

/* ---- reading input: a thread inside one of these waits for it ---- */

ssize_t read(int file, void *into, size_t size)
{
    REAL(read);
    RECORDING(CALL_read);
    ARG(0, file);
    ARG(1, size);
    ssize_t result = real(file, into, size);
    leave(&call, (uint64_t)result);
    return result;
}
HOOK(read);


/* A call that reads its input, by its one argument. */
#define INPUT1(type, name, t1) \
    type name(t1 a) \
    { \
        REAL(name); \
        RECORDING(CALL_##name); \
        type result = real(a); \
        leave(&call, (uint64_t)(uintptr_t)result); \
        return result; \
    } \
    HOOK(name);

int getchar(void)
{
    REAL(getchar);
    RECORDING(CALL_getchar);
    int result = real();
    leave(&call, (uint64_t)(long)result);
    return result;
}
HOOK(getchar);

INPUT1(int, getc, FILE *)
INPUT1(int, fgetc, FILE *)

char *fgets(char *into, int size, FILE *stream)
{
    REAL(fgets);
    RECORDING(CALL_fgets);
    char *result = real(into, size, stream);
    leave(&call, (uint64_t)result);
    return result;
}
HOOK(fgets);

ssize_t getline(char **line, size_t *size, FILE *stream)
{
    REAL(getline);
    RECORDING(CALL_getline);
    ssize_t result = real(line, size, stream);
    leave(&call, (uint64_t)result);
    return result;
}
HOOK(getline);

ssize_t getdelim(char **line, size_t *size, int delimiter, FILE *stream)
{
    REAL(getdelim);
    RECORDING(CALL_getdelim);
    ssize_t result = real(line, size, delimiter, stream);
    leave(&call, (uint64_t)result);
    return result;
}
HOOK(getdelim);

size_t fread(void *into, size_t size, size_t count, FILE *stream)
{
    REAL(fread);
    RECORDING(CALL_fread);
    size_t result = real(into, size, count, stream);
    leave(&call, result);
    return result;
}
HOOK(fread);

/* The scanf family forwards to its v forms, the C library's by name: its
 * header may give them other names (the ISO C99 ones). */
typedef int vscan_fn(const char *, va_list);
typedef int vfscan_fn(FILE *, const char *, va_list);

#define SCAN(name, symbol, vsymbol) \
    int name(const char *format, ...) __asm__(symbol); \
    int name(const char *format, ...) \
    { \
        static vscan_fn *real; \
        if (!real) { \
            real = (vscan_fn *)dlsym(RTLD_NEXT, vsymbol); \
        } \
        RECORDING(CALL_##name); \
        va_list more; \
        va_start(more, format); \
        int result = real(format, more); \
        va_end(more); \
        leave(&call, (uint64_t)(long)result); \
        return result; \
    }
#define FSCAN(name, symbol, vsymbol) \
    int name(FILE *stream, const char *format, ...) __asm__(symbol); \
    int name(FILE *stream, const char *format, ...) \
    { \
        static vfscan_fn *real; \
        if (!real) { \
            real = (vfscan_fn *)dlsym(RTLD_NEXT, vsymbol); \
        } \
        RECORDING(CALL_##name); \
        va_list more; \
        va_start(more, format); \
        int result = real(stream, format, more); \
        va_end(more); \
        leave(&call, (uint64_t)(long)result); \
        return result; \
    }
#define CALL_scan_plain CALL_scanf
#define CALL_scan_c99 CALL___isoc99_scanf
#define CALL_fscan_plain CALL_fscanf
#define CALL_fscan_c99 CALL___isoc99_fscanf
SCAN(scan_plain, "scanf", "vscanf")
SCAN(scan_c99, "__isoc99_scanf", "__isoc99_vscanf")
FSCAN(fscan_plain, "fscanf", "vfscanf")
FSCAN(fscan_c99, "__isoc99_fscanf", "__isoc99_vfscanf")
HOOK_NAMED("scanf", scan_plain);
HOOK_NAMED("__isoc99_scanf", scan_c99);
HOOK_NAMED("fscanf", fscan_plain);
HOOK_NAMED("__isoc99_fscanf", fscan_c99);

/* C++'s extractions from a stream: std::cin >> an int, a long, a double, a
 * string; std::getline. Each returns the stream. */
#define EXTRACT(name) \
    void *name(void *stream, void *into) \
    { \
        REAL(name); \
        RECORDING(CALL_##name); \
        void *result = real(stream, into); \
        leave(&call, 0); \
        return result; \
    } \
    HOOK(name);
void *_ZNSirsERi(void *, void *);
void *_ZNSi10_M_extractIlEERSiRT_(void *, void *);
void *_ZNSi10_M_extractIdEERSiRT_(void *, void *);
void *_ZStrsIcSt11char_traitsIcESaIcEERSt13basic_istreamIT_T0_ES7_RNSt7__cxx1112basic_stringIS4_S5_T1_EE(void *,
                                                                                                      void *);
void *_ZSt7getlineIcSt11char_traitsIcESaIcEERSt13basic_istreamIT_T0_ES7_RNSt7__cxx1112basic_stringIS4_S5_T1_EE(void *,
                                                                                                           void *);
EXTRACT(_ZNSirsERi)
EXTRACT(_ZNSi10_M_extractIlEERSiRT_)
EXTRACT(_ZNSi10_M_extractIdEERSiRT_)
EXTRACT(_ZStrsIcSt11char_traitsIcESaIcEERSt13basic_istreamIT_T0_ES7_RNSt7__cxx1112basic_stringIS4_S5_T1_EE)
EXTRACT(_ZSt7getlineIcSt11char_traitsIcESaIcEERSt13basic_istreamIT_T0_ES7_RNSt7__cxx1112basic_stringIS4_S5_T1_EE)

/* ---- text handed to the C library ---- */

/* The call that hands text to a stream or a descriptor, written with its
 * bytes (their beginning) and a number from the run's sequence. For a
 * stream the caller holds its lock: the numbers are then in the order the
 * bytes entered it. */
static struct call hand_over(uint16_t kind, uintptr_t caller, uintptr_t frame, uint16_t flags, FILE *stream,
                             int file, const void *text, size_t length)
{
    if (!ready) {
        return (struct call){NULL};
    }
    struct call call = enter_text(kind, caller, frame, flags, text, length > textBytes ? textBytes : length);
    ARG(0, stream);
    ARG(1, file);
    ARG(2, __atomic_add_fetch(&run->sequence, 1, __ATOMIC_RELAXED));
    ARG(3, length);
    return call;
}

/* The end of a call on a stream: its value, and whether the stream failed
 * (a closed or full standard output), for then its text went nowhere. */
static void handed(struct call *call, FILE *stream, long value)
{
    close_call(call, (uint64_t)value, stream && ferror_unlocked(stream) ? streamError : 0);
}

static void unlock_stream(FILE **stream)
{
    funlockfile(*stream);
}

/* Holds the stream's lock until the wrapper's frame goes, returned from or
 * unwound (a cancelled write). */
#define LOCKED(stream) \
    FILE *locked __attribute__((cleanup(unlock_stream))) = (stream); \
    flockfile(locked)

/* Text formatted as the real call will format it: its first textBytes
 * bytes, and its whole length. */
static size_t format_text(char *text, const char *format, va_list more)
{
    if (!ready) {
        return 0;
    }
    va_list copy;
    va_copy(copy, more);
    int length = vsnprintf(text, textBytes, format, copy);
    va_end(copy);
    return length < 0 ? 0 : (size_t)length;
}

/* The v forms of the printf family, which the others forward to. */
int __vprintf_chk(int flag, const char *format, va_list more);
int __vfprintf_chk(FILE *stream, int flag, const char *format, va_list more);
int __vdprintf_chk(int file, int flag, const char *format, va_list more);
int __printf_chk(int flag, const char *format, ...);
int __fprintf_chk(FILE *stream, int flag, const char *format, ...);
int __dprintf_chk(int file, int flag, const char *format, ...);
#define NEXT(name) \
    static __typeof__(name) *next_##name(void) \
    { \
        REAL(name); \
        return real; \
    }
NEXT(vprintf)
NEXT(vfprintf)
NEXT(vdprintf)
NEXT(__vprintf_chk)
NEXT(__vfprintf_chk)
NEXT(__vdprintf_chk)

/* A printf on a stream: formatted once to be written down, then forwarded
 * to its v form, under the stream's lock. */
#define PRINT_STREAM(name, params, stream, vcall, flags) \
    int name params \
    { \
        va_list more; \
        va_start(more, format); \
        char text[textBytes]; \
        size_t length = format_text(text, format, more); \
        LOCKED(stream); \
        struct call call __attribute__((cleanup(unwinding))) = \
            hand_over(CALL_##name, CALLER, FRAME, flags, stream, fileno_unlocked(stream), text, length); \
        int result = vcall; \
        handed(&call, stream, result); \
        va_end(more); \
        return result; \
    }
#define LIBRARY_PRINT_STREAM(name, params, stream, vcall) \
    PRINT_STREAM(name, params, stream, vcall, 0) \
    static PRINT_STREAM(library_##name, params, stream, vcall, fromLibrary) HOOK_BOTH(name);
#define CALL_library_fprintf CALL_fprintf

PRINT_STREAM(printf, (const char *format, ...), stdout, next_vprintf()(format, more), 0) HOOK(printf);
PRINT_STREAM(__printf_chk, (int flag, const char *format, ...), stdout, next___vprintf_chk()(flag, format, more), 0)
HOOK(__printf_chk);
LIBRARY_PRINT_STREAM(fprintf, (FILE *stream, const char *format, ...), stream, next_vfprintf()(stream, format, more))
PRINT_STREAM(__fprintf_chk, (FILE *stream, int flag, const char *format, ...), stream,
             next___vfprintf_chk()(stream, flag, format, more), 0)
HOOK(__fprintf_chk);

#define VPRINT_STREAM(name, params, stream, forward) \
    int name params \
    { \
        REAL(name); \
        char text[textBytes]; \
        size_t length = format_text(text, format, more); \
        LOCKED(stream); \
        struct call call __attribute__((cleanup(unwinding))) = \
            hand_over(CALL_##name, CALLER, FRAME, 0, stream, fileno_unlocked(stream), text, length); \
        int result = real forward; \
        handed(&call, stream, result); \
        return result; \
    } \
    HOOK(name);

VPRINT_STREAM(vprintf, (const char *format, va_list more), stdout, (format, more))
VPRINT_STREAM(vfprintf, (FILE *stream, const char *format, va_list more), stream, (stream, format, more))
VPRINT_STREAM(__vprintf_chk, (int flag, const char *format, va_list more), stdout, (flag, format, more))
VPRINT_STREAM(__vfprintf_chk, (FILE *stream, int flag, const char *format, va_list more), stream,
              (stream, flag, format, more))

/* To a descriptor: no stream, no lock. */
#define PRINT_FILE(name, params, vcall) \
    int name params \
    { \
        va_list more; \
        va_start(more, format); \
        char text[textBytes]; \
        size_t length = format_text(text, format, more); \
        struct call call __attribute__((cleanup(unwinding))) = \
            hand_over(CALL_##name, CALLER, FRAME, 0, NULL, file, text, length); \
        int result = vcall; \
        handed(&call, NULL, result); \
        va_end(more); \
        return result; \
    } \
    HOOK(name);

PRINT_FILE(dprintf, (int file, const char *format, ...), next_vdprintf()(file, format, more))
PRINT_FILE(__dprintf_chk, (int file, int flag, const char *format, ...),
           next___vdprintf_chk()(file, flag, format, more))

int vdprintf(int file, const char *format, va_list more)
{
    REAL(vdprintf);
    char text[textBytes];
    size_t length = format_text(text, format, more);
    struct call call __attribute__((cleanup(unwinding))) =
        hand_over(CALL_vdprintf, CALLER, FRAME, 0, NULL, file, text, length);
    int result = real(file, format, more);
    handed(&call, NULL, result);
    return result;
}
HOOK(vdprintf);

/* Text that is given, not formatted: a line, a string, a character, bytes. */
int puts(const char *text)
{
    REAL(puts);
    char line[textBytes];
    size_t length = 0; /* with its line feed */
    if (ready) {
        length = strlen(text) + 1;
        memcpy(line, text, length <= textBytes ? length - 1 : textBytes);
        if (length <= textBytes) {
            line[length - 1] = '\n';
        }
    }
    LOCKED(stdout);
    struct call call __attribute__((cleanup(unwinding))) =
        hand_over(CALL_puts, CALLER, FRAME, 0, stdout, fileno_unlocked(stdout), line, length);
    int result = real(text);
    handed(&call, stdout, result);
    return result;
}
HOOK(puts);

#define PUT_STRING(name, prefix, flags) \
    int prefix##name(const char *text, FILE *stream) \
    { \
        REAL(name); \
        LOCKED(stream); \
        struct call call __attribute__((cleanup(unwinding))) = hand_over( \
            CALL_##name, CALLER, FRAME, flags, stream, fileno_unlocked(stream), text, ready ? strlen(text) : 0); \
        int result = real(text, stream); \
        handed(&call, stream, result); \
        return result; \
    }
PUT_STRING(fputs, , 0)
static PUT_STRING(fputs, library_, fromLibrary) HOOK_BOTH(fputs);
PUT_STRING(fputs_unlocked, , 0) HOOK(fputs_unlocked);

#define PUT_CHAR(name, prefix, flags) \
    int prefix##name(int c, FILE *stream) \
    { \
        REAL(name); \
        char text = (char)c; \
        LOCKED(stream); \
        struct call call __attribute__((cleanup(unwinding))) = \
            hand_over(CALL_##name, CALLER, FRAME, flags, stream, fileno_unlocked(stream), &text, 1); \
        int result = real(c, stream); \
        handed(&call, stream, result); \
        return result; \
    }
int _IO_putc(int c, FILE *stream);
PUT_CHAR(putc, , 0)
static PUT_CHAR(putc, library_, fromLibrary) HOOK_BOTH(putc);
PUT_CHAR(fputc, , 0)
static PUT_CHAR(fputc, library_, fromLibrary) HOOK_BOTH(fputc);
PUT_CHAR(putc_unlocked, , 0) HOOK(putc_unlocked);
PUT_CHAR(fputc_unlocked, , 0) HOOK(fputc_unlocked);
PUT_CHAR(_IO_putc, , 0) HOOK(_IO_putc);

#define PUT_STDOUT(name) \
    int name(int c) \
    { \
        REAL(name); \
        char text = (char)c; \
        LOCKED(stdout); \
        struct call call __attribute__((cleanup(unwinding))) = \
            hand_over(CALL_##name, CALLER, FRAME, 0, stdout, fileno_unlocked(stdout), &text, 1); \
        int result = real(c); \
        handed(&call, stdout, result); \
        return result; \
    } \
    HOOK(name);
PUT_STDOUT(putchar)
PUT_STDOUT(putchar_unlocked)

#define PUT_BYTES(name, prefix, flags) \
    size_t prefix##name(const void *bytes, size_t size, size_t count, FILE *stream) \
    { \
        REAL(name); \
        LOCKED(stream); \
        struct call call __attribute__((cleanup(unwinding))) = \
            hand_over(CALL_##name, CALLER, FRAME, flags, stream, fileno_unlocked(stream), bytes, size * count); \
        size_t result = real(bytes, size, count, stream); \
        handed(&call, stream, (long)result); \
        return result; \
    }
PUT_BYTES(fwrite, , 0)
static PUT_BYTES(fwrite, library_, fromLibrary) HOOK_BOTH(fwrite);
PUT_BYTES(fwrite_unlocked, , 0) HOOK(fwrite_unlocked);

static ssize_t write_bytes(int file, const void *bytes, size_t size, uintptr_t caller, uintptr_t frame,
                           uint16_t flags)
{
    REAL(write);
    struct call call __attribute__((cleanup(unwinding))) =
        hand_over(CALL_write, caller, frame, flags, NULL, file, bytes, size);
    ssize_t result = real(file, bytes, size);
    handed(&call, NULL, result);
    return result;
}

ssize_t write(int file, const void *bytes, size_t size)
{
    return write_bytes(file, bytes, size, CALLER, FRAME, 0);
}

static ssize_t library_write(int file, const void *bytes, size_t size)
{
    return write_bytes(file, bytes, size, CALLER, FRAME, fromLibrary);
}
HOOK_BOTH(write);

/* Several pieces at once, as libstdc++'s file buffers write: their
 * beginning, and their whole length. */
static ssize_t write_pieces(int file, const struct iovec *pieces, int count, uintptr_t caller, uintptr_t frame,
                            uint16_t flags)
{
    REAL(writev);
    char text[textBytes];
    size_t length = 0, kept = 0;
    for (int i = 0; ready && i < count; i++) {
        size_t take = pieces[i].iov_len < textBytes - kept ? pieces[i].iov_len : textBytes - kept;
        memcpy(text + kept, pieces[i].iov_base, take);
        kept += take;
        length += pieces[i].iov_len;
    }
    struct call call __attribute__((cleanup(unwinding))) =
        hand_over(CALL_writev, caller, frame, flags, NULL, file, text, length);
    ssize_t result = real(file, pieces, count);
    handed(&call, NULL, result);
    return result;
}

ssize_t writev(int file, const struct iovec *pieces, int count)
{
    return write_pieces(file, pieces, count, CALLER, FRAME, 0);
}

static ssize_t library_writev(int file, const struct iovec *pieces, int count)
{
    return write_pieces(file, pieces, count, CALLER, FRAME, fromLibrary);
}
HOOK_BOTH(writev);

/* perror's line: the string, a colon and the description of errno. */
void perror(const char *text)
{
    REAL(perror);
    char line[textBytes];
    size_t length = 0;
    int saved = errno;
    if (ready) {
        int made = text && *text ? snprintf(line, sizeof line, "%s: %m\n", text) : snprintf(line, sizeof line, "%m\n");
        length = made < 0 ? 0 : (size_t)made;
    }
    errno = saved;
    LOCKED(stderr);
    struct call call __attribute__((cleanup(unwinding))) =
        hand_over(CALL_perror, CALLER, FRAME, 0, stderr, fileno_unlocked(stderr), line, length);
    real(text);
    handed(&call, stderr, 0);
}
HOOK(perror);

/* ---- C++'s streams that keep a buffer of their own ---- */

/* std::cout, std::cerr and std::clog write through the C library's streams
 * at once, unless sync_with_stdio(false) gives them buffers of their own,
 * which any thread may flush later; so may a std::osyncstream's. A `<<`
 * that leaves bytes in such a buffer writes them down, with the buffer and
 * a number of the run's sequence: a line that another thread flushes is its
 * writer's. The buffer's pointers are std::basic_streambuf's, whose layout
 * libstdc++'s ABI keeps. */
struct streambuf {
    void *vtable;
    char *inBegin, *inNow, *inEnd;
    char *outBegin, *outNow, *outEnd;
};

struct insertion {
    struct streambuf *buffer;
    char *begin, *now;
};

static struct insertion before_insert(void *stream)
{
    struct insertion at = {NULL, NULL, NULL};
    if (!ready || inVfork || !stream) {
        return at;
    }
    char *object = stream;
    long toBase = *(long *)(*(char **)object - 24); /* the offset of its virtual base std::basic_ios */
    at.buffer = *(struct streambuf **)(object + toBase + streambufOffset);
    if (at.buffer) {
        at.begin = at.buffer->outBegin;
        at.now = at.buffer->outNow;
    }
    return at;
}

static void after_insert(struct insertion *at)
{
    struct streambuf *buffer = at->buffer;
    if (!buffer || !buffer->outBegin) {
        return;
    }
    /* What the call left in the buffer: after where it began, or if the
     * buffer was flushed meanwhile, all that is there now. */
    char *from = buffer->outBegin == at->begin && buffer->outNow >= at->now ? at->now : buffer->outBegin;
    size_t length = (size_t)(buffer->outNow - from);
    if (!length) {
        return;
    }
    struct record *record = begin_record(REC_INSERTED, 0, 0, from, length > textBytes ? textBytes : length);
    if (record) {
        record->end = record->start;
        record->args[0] = (uint64_t)buffer;
        record->args[2] = __atomic_add_fetch(&run->sequence, 1, __ATOMIC_RELAXED);
        record->args[3] = length;
        done();
    }
}

#define INSERT(name, type) \
    void *name(void *stream, type value); \
    void *name(void *stream, type value) \
    { \
        REAL(name); \
        struct insertion at = before_insert(stream); \
        void *result = real(stream, value); \
        after_insert(&at); \
        return result; \
    } \
    HOOK(name);
#define OSTREAM(type) _ZStlsISt11char_traitsIcEERSt13basic_ostreamIcT_ES5_##type
#define M_INSERT(type) _ZNSo9_M_insertI##type##EERSoT_
INSERT(OSTREAM(PKc), const char *)
INSERT(OSTREAM(PKa), const signed char *)
INSERT(OSTREAM(PKh), const unsigned char *)
INSERT(OSTREAM(c), char)
INSERT(OSTREAM(a), signed char)
INSERT(OSTREAM(h), unsigned char)
INSERT(_ZStlsIcSt11char_traitsIcESaIcEERSt13basic_ostreamIT_T0_ES7_RKNSt7__cxx1112basic_stringIS4_S5_T1_EE,
       const void *)
INSERT(_ZNSo3putEc, char)
INSERT(_ZNSolsEs, short)
INSERT(_ZNSolsEi, int)
INSERT(_ZNSolsEf, float)
INSERT(M_INSERT(l), long)
INSERT(M_INSERT(x), long long)
INSERT(M_INSERT(m), unsigned long)
INSERT(M_INSERT(y), unsigned long long)
INSERT(M_INSERT(b), _Bool)
INSERT(M_INSERT(d), double)
INSERT(M_INSERT(e), long double)
INSERT(M_INSERT(PKv), const void *)
INSERT(_ZNSolsEPFRSoS_E, void *)

/* Bytes given with their length: std::ostream::write, and the insertion of
 * a std::string_view or a literal through __ostream_insert. */
#define INSERT_BYTES(name) \
    void *name(void *stream, const char *bytes, long length); \
    void *name(void *stream, const char *bytes, long length) \
    { \
        REAL(name); \
        struct insertion at = before_insert(stream); \
        void *result = real(stream, bytes, length); \
        after_insert(&at); \
        return result; \
    } \
    HOOK(name);
INSERT_BYTES(_ZNSo5writeEPKcl)
INSERT_BYTES(_ZSt16__ostream_insertIcSt11char_traitsIcEERSt13basic_ostreamIT_T0_ES6_PKS3_l)

/* std::endl and std::ends, whose address the program takes. */
#define MANIPULATE(name) \
    void *name(void *stream); \
    void *name(void *stream) \
    { \
        REAL(name); \
        struct insertion at = before_insert(stream); \
        void *result = real(stream); \
        after_insert(&at); \
        return result; \
    } \
    HOOK(name);
MANIPULATE(_ZSt4endlIcSt11char_traitsIcEERSt13basic_ostreamIT_T0_ES6_)
MANIPULATE(_ZSt4endsIcSt11char_traitsIcEERSt13basic_ostreamIT_T0_ES6_)

/* ---- where standard output and error go ---- */

/* The calls that point standard output or error elsewhere: what the
 * program writes there afterwards need not reach the terminal. Each is
 * written with the descriptor it changes, if that is 1 or 2. */
#define REDIRECTED(kind, file) \
    struct call call __attribute__((cleanup(unwinding))) = \
        (file) == 1 || (file) == 2 ? enter(kind, CALLER, FRAME, 0) : (struct call){NULL}; \
    ARG(0, file)

FILE *freopen(const char *path, const char *mode, FILE *stream)
{
    REAL(freopen);
    REDIRECTED(CALL_freopen, stream ? fileno(stream) : -1);
    FILE *result = real(path, mode, stream);
    leave(&call, (uint64_t)result);
    return result;
}
HOOK(freopen);

FILE *freopen64(const char *path, const char *mode, FILE *stream)
{
    REAL(freopen64);
    REDIRECTED(CALL_freopen64, stream ? fileno(stream) : -1);
    FILE *result = real(path, mode, stream);
    leave(&call, (uint64_t)result);
    return result;
}
HOOK(freopen64);

int dup2(int from, int to)
{
    REAL(dup2);
    REDIRECTED(CALL_dup2, to);
    int result = real(from, to);
    leave(&call, (uint64_t)(long)result);
    return result;
}
HOOK(dup2);

int dup3(int from, int to, int flags)
{
    REAL(dup3);
    REDIRECTED(CALL_dup3, to);
    int result = real(from, to, flags);
    leave(&call, (uint64_t)(long)result);
    return result;
}
HOOK(dup3);

int close(int file)
{
    REAL(close);
    REDIRECTED(CALL_close, file);
    int result = real(file);
    leave(&call, (uint64_t)(long)result);
    return result;
}
HOOK(close);

/* ---- the program's calls pointed at the wrappers ---- */

extern const struct hook __start_timeline_hooks[], __stop_timeline_hooks[];

static const struct hook *find_hook(const char *name)
{
    for (const struct hook *hook = __start_timeline_hooks; hook < __stop_timeline_hooks; hook++) {
        if (strcmp(hook->name, name) == 0) {
            return hook;
        }
    }
    return NULL;
}

/* The address a dynamic entry holds: the loader has made some absolute. */
static uintptr_t dynamic_address(uintptr_t base, ElfW(Addr) value)
{
    return value < base ? base + value : value;
}

/* Points a module's entries of its global offset table (and its pointers
 * to functions) for the wrapped functions at the wrappers: all of them for
 * the program, those with a library's wrapper for another module. A page
 * that the loader made read-only after relocating it (RELRO) is made
 * writable for the moment. */
static void hook_module(struct dl_phdr_info *info, int program)
{
    const ElfW(Dyn) *dynamic = NULL;
    uintptr_t relroLow = 0, relroHigh = 0;
    for (int i = 0; i < info->dlpi_phnum; i++) {
        const ElfW(Phdr) *segment = &info->dlpi_phdr[i];
        if (segment->p_type == PT_DYNAMIC) {
            dynamic = (const ElfW(Dyn) *)(info->dlpi_addr + segment->p_vaddr);
        } else if (segment->p_type == PT_GNU_RELRO) {
            relroLow = info->dlpi_addr + segment->p_vaddr;
            relroHigh = relroLow + segment->p_memsz;
        }
    }
    if (!dynamic) {
        return;
    }
    const ElfW(Sym) *symbols = NULL;
    const char *names = NULL;
    const ElfW(Rela) *tables[2] = {NULL, NULL};
    size_t sizes[2] = {0, 0};
    for (const ElfW(Dyn) *entry = dynamic; entry->d_tag != DT_NULL; entry++) {
        switch (entry->d_tag) {
        case DT_SYMTAB:
            symbols = (const ElfW(Sym) *)dynamic_address(info->dlpi_addr, entry->d_un.d_ptr);
            break;
        case DT_STRTAB:
            names = (const char *)dynamic_address(info->dlpi_addr, entry->d_un.d_ptr);
            break;
        case DT_JMPREL:
            tables[0] = (const ElfW(Rela) *)dynamic_address(info->dlpi_addr, entry->d_un.d_ptr);
            break;
        case DT_PLTRELSZ:
            sizes[0] = entry->d_un.d_val;
            break;
        case DT_RELA:
            tables[1] = (const ElfW(Rela) *)dynamic_address(info->dlpi_addr, entry->d_un.d_ptr);
            break;
        case DT_RELASZ:
            sizes[1] = entry->d_un.d_val;
            break;
        default:
            break;
        }
    }
    if (!symbols || !names) {
        return;
    }
    long page = sysconf(_SC_PAGESIZE);
    for (int t = 0; t < 2; t++) {
        for (size_t i = 0; tables[t] && i < sizes[t] / sizeof(ElfW(Rela)); i++) {
            const ElfW(Rela) *relocation = &tables[t][i];
            unsigned type = ELF64_R_TYPE(relocation->r_info), index = ELF64_R_SYM(relocation->r_info);
            if (!index || (type != R_X86_64_JUMP_SLOT && type != R_X86_64_GLOB_DAT &&
                           !(type == R_X86_64_64 && relocation->r_addend == 0))) {
                continue;
            }
            if (ELF64_ST_TYPE(symbols[index].st_info) != STT_FUNC && symbols[index].st_shndx != SHN_UNDEF) {
                continue;
            }
            const struct hook *hook = find_hook(names + symbols[index].st_name);
            void *wrapper = hook ? (program ? hook->program : hook->library) : NULL;
            if (!wrapper) {
                continue;
            }
            uintptr_t slot = info->dlpi_addr + relocation->r_offset;
            int sealed = slot >= relroLow && slot < relroHigh;
            uintptr_t start = slot & ~(uintptr_t)(page - 1);
            if (sealed) {
                sys6(SYS_mprotect, (long)start, page, PROT_READ | PROT_WRITE, 0, 0, 0);
            }
            *(void **)slot = wrapper;
            if (sealed) {
                sys6(SYS_mprotect, (long)start, page, PROT_READ, 0, 0, 0);
            }
        }
    }
}

/* Every module loaded: the program's calls, and libstdc++'s and the other
 * libraries' that the table names; never the C library's, the loader's,
 * libfaketime's, or this one's. Where the C++ library's code lies. */
static int hook_modules(struct dl_phdr_info *info, size_t size, void *seen)
{
    (void)size;
    int program = (*(int *)seen)++ == 0;
    const char *name = info->dlpi_name;
    Dl_info self;
    if (dladdr((void *)hook_modules, &self) && (uintptr_t)self.dli_fbase == info->dlpi_addr) {
        return 0;
    }
    if (!program && (strstr(name, "/libc.so") || strstr(name, "/ld-linux") || strstr(name, "libfaketime") ||
                     strstr(name, "linux-vdso") || !*name)) {
        return 0;
    }
    if (strstr(name, "/libstdc++.so")) {
        for (int i = 0; i < info->dlpi_phnum; i++) {
            const ElfW(Phdr) *segment = &info->dlpi_phdr[i];
            if (segment->p_type == PT_LOAD && segment->p_flags & PF_X) {
                cxxLow = info->dlpi_addr + segment->p_vaddr;
                cxxHigh = cxxLow + segment->p_memsz;
            }
        }
    }
    hook_module(info, program);
    return 0;
}

/* ---- the library's start, and the process's end ---- */

/* A process that dies of a fault or a signal says when; whatever handled
 * the signal before takes it again: a fault happens once more as the
 * instruction runs again, a signal sent is sent again. */
static void dying(int signal, siginfo_t *info, void *context)
{
    (void)context;
    moment(REC_DYING, (uint64_t)signal, 0);
    sigaction(signal, &previous[signal], NULL);
    if (info->si_code <= 0) {
        sys6(SYS_tgkill, sys6(SYS_getpid, 0, 0, 0, 0, 0, 0), sys6(SYS_gettid, 0, 0, 0, 0, 0, 0), signal, 0, 0, 0);
    }
}

static void exiting(int status, void *unused)
{
    (void)unused;
    moment(REC_EXITING, (uint64_t)(unsigned)status, 0);
}

__attribute__((constructor)) static void start_library(void)
{
    const char *where = getenv("TIMELINE_RECORD");
    if (!where || strlen(where) + 64 >= sizeof folder) {
        return;
    }
    strcpy(folder, where);
    const char *seed = getenv("TIMELINE_SHAKE");
    if (seed && *seed) {
        for (const char *c = seed; *c >= '0' && *c <= '9'; c++) {
            shakeSeed = shakeSeed * 10 + (uint64_t)(*c - '0');
        }
        shaking = 1;
    }
    void *libc = dlopen("libc.so.6", RTLD_LAZY | RTLD_NOLOAD);
    if (libc) {
        monotonic = (int (*)(clockid_t, struct timespec *))dlsym(libc, "clock_gettime");
    }
    char path[1200];
    path_of(path, sizeof path, "run");
    long file = sys6(SYS_open, (long)path, O_RDWR | O_CLOEXEC, 0, 0, 0, 0);
    if (file < 0) {
        return;
    }
    long memory = map_file(file, sizeof(struct shared));
    sys6(SYS_close, file, 0, 0, 0, 0, 0);
    if (memory < 0 && memory > -4096) {
        return;
    }
    run = (struct shared *)memory;
    self = (unsigned long)sys6(SYS_getpid, 0, 0, 0, 0, 0, 0);
    describe_process(0);
    pthread_atfork(NULL, NULL, forked_child);
    struct sigaction action = {.sa_sigaction = dying, .sa_flags = SA_SIGINFO | SA_ONSTACK};
    for (unsigned i = 0; i < sizeof fatalSignals / sizeof fatalSignals[0]; i++) {
        sigaction(fatalSignals[i], &action, &previous[fatalSignals[i]]);
    }
    on_exit(exiting, NULL);
    void *warm[1];
    backtrace(warm, 1); /* its first use loads the unwinder: now, not inside a wrapper */
    ready = 1;
    int seen = 0;
    dl_iterate_phdr(hook_modules, &seen);
}
