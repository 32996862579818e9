// A parent sends lines to its child through a pipe, closes its end and waits
// for the child, which reads to the end of the input. But the child never
// closed its own copy of the write end: the end never comes.
#define _POSIX_C_SOURCE 200809L
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

static const char *const lines[] = {"one\n", "two\n", "three\n"};
enum { lineCount = 3 };

int main(void)
{
    int ends[2];
    if (pipe(ends) < 0) {
        perror("pipe");
        return 1;
    }
    pid_t child = fork();
    if (child == 0) {
        char buffer[64];
        ssize_t got;
        long total = 0;
        while ((got = read(ends[0], buffer, sizeof buffer)) > 0) {
            total += got;
        }
        printf("child read %ld bytes\n", total);
        _exit(0);
    }
    close(ends[0]);
    for (int i = 0; i < lineCount; i++) {
        if (write(ends[1], lines[i], strlen(lines[i])) < 0) {
            perror("write");
        }
    }
    close(ends[1]);
    waitpid(child, NULL, 0);
    puts("parent done");
    return 0;
}
