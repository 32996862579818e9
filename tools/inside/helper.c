/* Loaded into the traced program with LD_PRELOAD, beside uftrace's libmcount:
 * says which thread each pthread_create made and what it runs, and the joins
 * of std::thread that uftrace cannot see.
 *
 * uftrace records a call's arguments, never what they point to, nor the id
 * of the thread that a creation made. So each creation is written to the log
 * that TIMELINE_HELPER_LOG names: the creating thread, the handle, the
 * routine, and the memory at its argument (where std::thread keeps what the
 * thread runs), with the memory at each address found there; and the new
 * thread writes its id as it begins. std::thread::join is interposed as well,
 * for a program that takes its address (std::async does) calls it through a
 * table that uftrace does not hook.
 *
 * A process that dies of a fault, or that exit() ends while other threads run,
 * takes its threads' calls in flight with it: uftrace writes a call when it
 * returns. So the helper first says so in the log and waits, up to a few
 * seconds, for the tool to read the process, as it reads a hung one, and to
 * set a word of the helper's to say it is done; then the process goes on to
 * die as it would have.
 *
 * The helper calls nothing through its own procedure linkage table while the
 * program runs, only system calls, so that uftrace sees none of it, and reads
 * memory with process_vm_readv, which fails on an address that is not mapped
 * rather than crash. Times are CLOCK_MONOTONIC, uftrace's clock. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <time.h>

enum {
    argumentBytes = 256, /* read at a creation's argument */
    pointedBytes = 128,  /* read at each address found in the first words of it */
    pointersFollowed = 8,
    lineBytes = 8192,
};

typedef int (*create_fn)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
typedef void (*join_fn)(void *);

struct start {
    void *(*routine)(void *);
    void *arg;
    long sequence;
};

static int logFile = -1;
static long sequence;
static const int fatalSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGSYS, SIGTRAP};
static struct sigaction previous[NSIG];
static volatile int readBy; /* set by the tool, through the process's memory, once it has read it */

enum {
    waitTicks = 500, /* of 10 ms: how long a process that ends waits to be read */
    tickNanos = 10000000,
};

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

static long now(void)
{
    struct timespec time;
    sys6(SYS_clock_gettime, CLOCK_MONOTONIC, (long)&time, 0, 0, 0, 0);
    return time.tv_sec * 1000000000L + time.tv_nsec;
}

static long pid(void)
{
    return sys6(SYS_getpid, 0, 0, 0, 0, 0, 0);
}

static long tid(void)
{
    return sys6(SYS_gettid, 0, 0, 0, 0, 0, 0);
}

/* A line being written: text appended, then written whole with one call, so
 * that lines of several threads and processes never mix in the log. */
struct line {
    char text[lineBytes];
    int length;
};

static void put(struct line *line, const char *text)
{
    while (*text && line->length < lineBytes - 1) {
        line->text[line->length++] = *text++;
    }
}

static void number(struct line *line, unsigned long value, int base)
{
    char digits[24];
    int count = 0;
    do {
        digits[count++] = "0123456789abcdef"[value % (unsigned)base];
        value /= (unsigned)base;
    } while (value);
    if (line->length + count + 1 >= lineBytes) {
        return;
    }
    line->text[line->length++] = ' ';
    while (count) {
        line->text[line->length++] = digits[--count];
    }
}

/* " ADDRESS:HEX" of what could be read there, nothing if nothing could. */
static long dump(struct line *line, unsigned long address, unsigned char *bytes, long size)
{
    struct iovec local = {bytes, (size_t)size}, remote = {(void *)address, (size_t)size};
    long got = address < 4096 ? -1 : sys6(SYS_process_vm_readv, pid(), (long)&local, 1,
                                          (long)&remote, 1, 0);
    if (got <= 0 || line->length + 20 + 2 * got >= lineBytes) {
        return 0;
    }
    number(line, address, 16);
    line->text[line->length++] = ':';
    for (long i = 0; i < got; i++) {
        line->text[line->length++] = "0123456789abcdef"[bytes[i] >> 4];
        line->text[line->length++] = "0123456789abcdef"[bytes[i] & 15];
    }
    return got;
}

static void finish(struct line *line)
{
    line->text[line->length++] = '\n';
    if (logFile >= 0) {
        sys6(SYS_write, logFile, (long)line->text, line->length, 0, 0, 0);
    }
}

/* How many threads the process has, from /proc/self/stat. */
static long thread_count(void)
{
    char text[1024];
    long file = sys6(SYS_open, (long)"/proc/self/stat", O_RDONLY | O_CLOEXEC, 0, 0, 0, 0);
    if (file < 0) {
        return 0;
    }
    long got = sys6(SYS_read, file, (long)text, sizeof text - 1, 0, 0, 0);
    sys6(SYS_close, file, 0, 0, 0, 0, 0);
    if (got <= 0) {
        return 0;
    }
    text[got] = 0;
    int field = 2; /* the name, in parentheses, is the second field */
    long at = got;
    while (at > 0 && text[at - 1] != ')') {
        at--;
    }
    long count = 0;
    for (; at < got && field < 20; at++) {
        if (text[at] == ' ') {
            field++;
        }
    }
    for (; at < got && text[at] >= '0' && text[at] <= '9'; at++) {
        count = count * 10 + (text[at] - '0');
    }
    return count;
}

/* Says why the process ends, and waits for the tool to read its threads'
 * calls in flight, where other threads have them. */
static void ending(const char *why, long detail)
{
    if (logFile < 0 || thread_count() <= 1) {
        return;
    }
    readBy = 0;
    struct line line = {.length = 0};
    put(&line, why);
    number(&line, (unsigned long)pid(), 10);
    number(&line, (unsigned long)tid(), 10);
    number(&line, (unsigned long)detail, 10);
    number(&line, (unsigned long)now(), 10);
    number(&line, (unsigned long)&readBy, 16);
    finish(&line);
    struct timespec tick = {0, tickNanos};
    for (int i = 0; i < waitTicks && !readBy; i++) {
        sys6(SYS_nanosleep, (long)&tick, 0, 0, 0, 0, 0);
    }
}

static void dying(int signum, siginfo_t *info, void *context)
{
    (void)context;
    ending("dying", signum);
    /* Whatever was there before takes the signal again: a fault happens once
     * more as the instruction runs again, a signal sent is sent again. */
    sigaction(signum, &previous[signum], NULL);
    if (info->si_code <= 0) {
        sys6(SYS_tgkill, pid(), tid(), signum, 0, 0, 0);
    }
}

static void exiting(int status, void *argument)
{
    (void)argument;
    ending("exiting", status);
}

__attribute__((constructor)) static void open_log(void)
{
    const char *path = getenv("TIMELINE_HELPER_LOG");
    if (path) {
        logFile = (int)sys6(SYS_open, (long)path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600, 0, 0, 0);
    }
    if (logFile < 0) {
        return;
    }
    /* Each process says who it is: forked or spawned, and the program it runs now. */
    char exe[1024];
    long length = sys6(SYS_readlink, (long)"/proc/self/exe", (long)exe, sizeof exe - 1, 0, 0, 0);
    exe[length > 0 ? length : 0] = 0;
    for (long i = 0; exe[i]; i++) {
        if (exe[i] == ' ' || exe[i] == '\n') {
            exe[i] = '?';
        }
    }
    struct line line = {.length = 0};
    put(&line, "start");
    number(&line, (unsigned long)pid(), 10);
    number(&line, (unsigned long)sys6(SYS_getppid, 0, 0, 0, 0, 0, 0), 10);
    number(&line, (unsigned long)now(), 10);
    put(&line, " ");
    put(&line, exe);
    finish(&line);
    struct sigaction action = {.sa_sigaction = dying, .sa_flags = SA_SIGINFO | SA_ONSTACK};
    for (unsigned i = 0; i < sizeof fatalSignals / sizeof fatalSignals[0]; i++) {
        sigaction(fatalSignals[i], &action, &previous[fatalSignals[i]]);
    }
    on_exit(exiting, NULL);
}

static void *begin(void *opaque)
{
    struct start start = *(struct start *)opaque;
    free(opaque);
    struct line line = {.length = 0};
    put(&line, "begin");
    number(&line, (unsigned long)pid(), 10);
    number(&line, (unsigned long)start.sequence, 10);
    number(&line, (unsigned long)tid(), 10);
    number(&line, (unsigned long)now(), 10);
    finish(&line);
    return start.routine(start.arg);
}

int pthread_create(pthread_t *thread, const pthread_attr_t *attr, void *(*routine)(void *), void *arg)
{
    static create_fn real;
    if (!real) {
        real = (create_fn)dlsym(RTLD_NEXT, "pthread_create");
    }
    struct start *start = malloc(sizeof *start);
    if (!start || logFile < 0) {
        free(start);
        return real(thread, attr, routine, arg);
    }
    start->routine = routine;
    start->arg = arg;
    long number_of_this = __atomic_add_fetch(&sequence, 1, __ATOMIC_RELAXED);
    start->sequence = number_of_this;
    /* What the argument points to, read before the thread can change it. */
    struct line memory = {.length = 0};
    unsigned char bytes[argumentBytes], pointed[pointedBytes];
    long got = dump(&memory, (unsigned long)arg, bytes, argumentBytes);
    for (long at = 0; at + 8 <= got && at < 8 * pointersFollowed; at += 8) {
        unsigned long word = 0;
        for (int i = 7; i >= 0; i--) {
            word = word << 8 | bytes[at + i];
        }
        if (word >= 4096 && word < 0x800000000000UL && word != (unsigned long)arg) {
            dump(&memory, word, pointed, pointedBytes);
        }
    }
    long began = now();
    int result = real(thread, attr, begin, start);
    long ended = now();
    if (result != 0) {
        free(start);
    }
    struct line line = {.length = 0};
    put(&line, "create");
    number(&line, (unsigned long)pid(), 10);
    number(&line, (unsigned long)tid(), 10);
    number(&line, (unsigned long)number_of_this, 10);
    number(&line, (unsigned long)thread, 16);
    number(&line, result == 0 ? (unsigned long)*thread : 0, 16);
    number(&line, (unsigned long)routine, 16);
    number(&line, (unsigned long)arg, 16);
    number(&line, (unsigned long)result, 10);
    number(&line, (unsigned long)began, 10);
    number(&line, (unsigned long)ended, 10);
    memory.text[memory.length] = 0;
    put(&line, memory.text);
    finish(&line);
    return result;
}

struct joining {
    void *self;
    unsigned long handle;
    long began;
};

static void joined(struct joining *join)
{
    struct line line = {.length = 0};
    put(&line, "join");
    number(&line, (unsigned long)pid(), 10);
    number(&line, (unsigned long)tid(), 10);
    number(&line, (unsigned long)join->self, 16);
    number(&line, join->handle, 16);
    number(&line, (unsigned long)join->began, 10);
    number(&line, (unsigned long)now(), 10);
    finish(&line);
}

/* std::thread::join(); the end is written even when it throws. The
 * std::thread holds its thread's handle, which names the thread where the
 * object has moved since its creation (a vector of them that grew). */
void _ZNSt6thread4joinEv(void *self)
{
    static join_fn real;
    if (!real) {
        real = (join_fn)dlsym(RTLD_NEXT, "_ZNSt6thread4joinEv");
    }
    struct line line = {.length = 0};
    __attribute__((cleanup(joined))) struct joining join = {self, *(unsigned long *)self, now()};
    put(&line, "joining");
    number(&line, (unsigned long)pid(), 10);
    number(&line, (unsigned long)tid(), 10);
    number(&line, (unsigned long)self, 16);
    number(&line, join.handle, 16);
    number(&line, (unsigned long)join.began, 10);
    finish(&line);
    real(self);
}
