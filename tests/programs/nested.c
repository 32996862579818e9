// A signal's handler writes a line while the main thread sleeps: the write
// is made inside the sleep, which the signal cuts short.
#define _DEFAULT_SOURCE
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

static void ring(int signal)
{
    (void)signal;
    static const char line[] = "ringing inside the sleep\n";
    write(STDOUT_FILENO, line, sizeof line - 1);
}

int main(void)
{
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = ring;
    sigaction(SIGALRM, &action, NULL);
    ualarm(200000, 0);
    unsigned left = sleep(3);
    printf("woken with %u s left\n", left);
    return 0;
}
