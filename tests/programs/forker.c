// A parent forks two children and waits for each in turn; the children
// sleep for different times, so the parent waits long for the second.
#define _DEFAULT_SOURCE
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

enum { children = 2 };
static const useconds_t childMicros = 200000;

int main(void)
{
    pid_t pids[children];
    for (int i = 0; i < children; i++) {
        fflush(stdout); // nothing pending may be written twice
        pids[i] = fork();
        if (pids[i] == 0) {
            usleep(childMicros * (i + 1));
            printf("child %d done\n", i + 1);
            exit(i + 1);
        }
    }
    for (int i = 0; i < children; i++) {
        int status = 0;
        waitpid(pids[i], &status, 0);
        printf("collected child %d: status %d\n", i + 1, WEXITSTATUS(status));
    }
    return 0;
}
