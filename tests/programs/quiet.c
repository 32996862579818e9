// Writes its first lines to the terminal, then sends standard output and
// standard error to /dev/null and goes on writing: the later lines reach no
// terminal, and nothing of the record is missing.
#define _POSIX_C_SOURCE 200809L
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

static const int quietLines = 3;

int main(void)
{
    puts("loud");
    fprintf(stderr, "loud on stderr\n");
    fflush(stdout);
    if (freopen("/dev/null", "w", stdout) == NULL) {
        return 1;
    }
    int sink = open("/dev/null", O_WRONLY);
    if (sink < 0 || dup2(sink, 2) < 0) {
        return 1;
    }
    for (int i = 0; i < quietLines; i++) {
        printf("quiet %d\n", i);
        fprintf(stderr, "quiet on stderr %d\n", i);
    }
    return 0;
}
