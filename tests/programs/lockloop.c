// Two threads count to a total under one mutex, each taking and releasing it
// ROUNDS times (250,000 unless given): a run of a million lock calls.
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>

enum { threads = 2 };
static const long defaultRounds = 250000;

static pthread_mutex_t m = PTHREAD_MUTEX_INITIALIZER;
static long counter;
static long rounds;

static void *count(void *arg)
{
    (void)arg;
    for (long i = 0; i < rounds; i++) {
        pthread_mutex_lock(&m);
        counter++;
        pthread_mutex_unlock(&m);
    }
    return NULL;
}

int main(int argc, char **argv)
{
    rounds = argc > 1 ? strtol(argv[1], NULL, 10) : defaultRounds;
    pthread_t ids[threads];
    for (int i = 0; i < threads; i++) {
        pthread_create(&ids[i], NULL, count, NULL);
    }
    for (int i = 0; i < threads; i++) {
        pthread_join(ids[i], NULL);
    }
    printf("%ld\n", counter);
    return 0;
}
