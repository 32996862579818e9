// Lines written every way but printf: a character at a time with
// putchar_unlocked, bytes that are not UTF-8 and a NUL, and programs of
// their own: one exec'd in a child, a shell that system() starts and an echo
// that posix_spawn starts.
#define _GNU_SOURCE
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

int main(void)
{
    for (const char *c = "unlocked\n"; *c; c++) {
        putchar_unlocked(*c);
    }
    printf("bytes \xff\xfe end\n");
    printf("nul %c here\n", 0);
    fflush(stdout);
    pid_t child = fork();
    if (child == 0) {
        execlp("echo", "echo", "from exec", (char *)NULL);
        _exit(1);
    }
    waitpid(child, NULL, 0);
    if (system("echo from system") != 0) {
        return 1;
    }
    char *args[] = {"echo", "from spawn", NULL};
    pid_t spawned;
    if (posix_spawnp(&spawned, "echo", NULL, NULL, args, environ) == 0) {
        waitpid(spawned, NULL, 0);
    }
    puts("last");
    return 0;
}
