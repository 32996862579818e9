// fendrow: process creation with fork.
// The program reports its own id, splits into a parent and a child, and each
// process says who it is. The parent does not wait for its child; it only
// lingers long enough for the child to report while its parent still lives.
#include <cerrno>
#include <cstdio>
#include <unistd.h>

constexpr unsigned parentLingerSeconds = 2;

int main()
{
    printf("Original program, pid = %d\n", static_cast<int>(getpid()));
    // Whatever is still buffered at the split would be written by both
    // processes: on a file or a pipe, the first line twice.
    fflush(stdout);

    const pid_t result = fork();
    const int forkError = errno;
    if (result == 0) {
        const pid_t parent = getppid();
        printf("In child process, pid = %d, ppid = %d\n", static_cast<int>(getpid()),
               static_cast<int>(parent));
        return 0;
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
    return 0;
}
