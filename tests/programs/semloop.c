// Two threads each post a semaphore and take the unit back, over and over:
// a run of millions of calls, for the tool's bounds on what it keeps. How many
// rounds each thread makes comes from the command line (5,000,000 unless
// given: 20,000,000 calls in all), and then how many seconds both threads
// rest halfway (none unless given): calls come in two bursts.
#include <pthread.h>
#include <semaphore.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

static const long defaultRounds = 5000000;

static sem_t units;
static long rounds;
static unsigned restSeconds;

static void *turner(void *arg)
{
    (void)arg;
    for (long i = 0; i < rounds; i++) {
        if (i == rounds / 2 && restSeconds > 0) {
            sleep(restSeconds);
        }
        sem_post(&units);
        sem_wait(&units);
    }
    return NULL;
}

int main(int argc, char **argv)
{
    rounds = argc > 1 ? strtol(argv[1], NULL, 10) : defaultRounds;
    restSeconds = argc > 2 ? (unsigned)strtoul(argv[2], NULL, 10) : 0;
    sem_init(&units, 0, 0);
    pthread_t threads[2];
    for (int i = 0; i < 2; i++) {
        pthread_create(&threads[i], NULL, turner, NULL);
    }
    for (int i = 0; i < 2; i++) {
        pthread_join(threads[i], NULL);
    }
    printf("%ld rounds each\n", rounds);
    return 0;
}
