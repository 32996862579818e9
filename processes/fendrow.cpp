// fendrow: process creation with fork.
// The program reports its own id, splits into a parent and a child, and each
// process says who it is. The parent does not wait for its child; it only
// lingers long enough for the child to report while its parent still lives.
#include <cerrno>
#include <cstdio>
#include <unistd.h>

constexpr unsigned parentLingerSeconds = 2;

// Output that could not be written (a full disk, a closed descriptor) is a
// failure, not a quiet success: flush what is pending and check the stream.
static int outputStatus()
{
    errno = 0;
    if (fflush(stdout) == 0 && ferror(stdout) == 0) {
        return 0;
    }
    if (errno == 0) {
        errno = EIO; // the write failed earlier, and its error number is gone
    }
    perror("write error");
    return 1;
}

int main()
{
    printf("Original program, pid = %d\n", static_cast<int>(getpid()));
    // Whatever is still buffered at the split would be written by both
    // processes: on a file or a pipe, the first line twice. A failed flush
    // drops the line and leaves the error set, for the parent to report.
    fflush(stdout);

    const pid_t result = fork();
    const int forkError = errno;
    if (result == 0) {
        // The first line is the parent's to answer for; the buffer holds none
        // of it, written or dropped by the flush.
        clearerr(stdout);
        const pid_t parent = getppid();
        printf("In child process, pid = %d, ppid = %d\n", static_cast<int>(getpid()),
               static_cast<int>(parent));
        return outputStatus();
    }
    printf("In parent, pid = %d, fork returned = %d\n", static_cast<int>(getpid()),
           static_cast<int>(result));
    if (result == -1) {
        // No child to outlive: report and stop at once.
        errno = forkError;
        perror("fork");
        return 1;
    }
    sleep(parentLingerSeconds);
    return outputStatus();
}
