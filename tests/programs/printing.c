// Lines written in several ways: printf with a string and a floating-point
// value, write, fprintf to standard error, and a worker whose first call
// prints a floating-point value.
#define _DEFAULT_SOURCE
#include <pthread.h>
#include <stdio.h>
#include <unistd.h>

static void *worker(void *arg)
{
    (void)arg;
    printf("%5.2f from the worker\n", 2.5);
    return NULL;
}

int main(void)
{
    puts("first");
    printf("%s and %5.2f\n", "a string", 1.5);
    const char written[] = "written with write\n";
    write(STDOUT_FILENO, written, sizeof written - 1);
    fprintf(stderr, "to standard error %d\n", 7);
    pthread_t thread;
    pthread_create(&thread, NULL, worker, NULL);
    pthread_join(thread, NULL);
    return 0;
}
