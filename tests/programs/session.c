// The parent waits for a child that has started a session of its own and
// sleeps a while: the child is still the program's, and can end the wait.
#define _DEFAULT_SOURCE
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

static const useconds_t napMicros = 1500000;

int main(void)
{
    pid_t child = fork();
    if (child == 0) {
        setsid();
        usleep(napMicros);
        puts("child done");
        return 0;
    }
    waitpid(child, NULL, 0);
    puts("parent done");
    return 0;
}
