// Starts a daemon, as servers do: it forks, the child starts a session of its
// own and forks again, and the grandchild, no longer anyone's child, sleeps
// for a minute with the terminal still open; the program itself ends at once.
#define _DEFAULT_SOURCE
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

enum { daemonSeconds = 60 };

int main(void)
{
    pid_t child = fork();
    if (child == 0) {
        setsid();
        if (fork() == 0) {
            sleep(daemonSeconds);
            puts("daemon done");
            return 0;
        }
        return 0;
    }
    waitpid(child, NULL, 0);
    puts("started a daemon");
    return 0;
}
