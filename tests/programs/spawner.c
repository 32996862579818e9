// Starts programs the two ways that share the parent's memory until the
// child execs: vfork, whose child pauses a moment and points its standard
// error at its standard output first, and posix_spawn.
#define _GNU_SOURCE
#include <spawn.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

int main(void)
{
    pid_t child = vfork();
    if (child == 0) {
        usleep(1000);
        dup2(STDOUT_FILENO, STDERR_FILENO);
        execlp("echo", "echo", "from vfork", (char *)NULL);
        _exit(1);
    }
    waitpid(child, NULL, 0);
    char *args[] = {"echo", "from posix_spawn", NULL};
    pid_t spawned;
    if (posix_spawnp(&spawned, "echo", NULL, NULL, args, environ) == 0) {
        waitpid(spawned, NULL, 0);
    }
    puts("both ran");
    return 0;
}
