// A race, and then a crash: the races found before it are said all the same.
#define _DEFAULT_SOURCE
#include <pthread.h>
#include <stdio.h>
#include <unistd.h>

static const useconds_t settleMicros = 100000;

long total;

static void *adder(void *arg)
{
    (void)arg;
    total += 1;
    return NULL;
}

int main(void)
{
    pthread_t thread;
    pthread_create(&thread, NULL, adder, NULL);
    total += 2;
    usleep(settleMicros);
    printf("total %ld\n", total);
    fflush(stdout);
    volatile long *nowhere = NULL;
    return (int)*nowhere;
}
