// The only thread waits on a semaphore that a signal handler posts when an
// alarm goes off, a third of a second later: every thread waits for a
// moment, but the alarm wakes it; not a hang.
#define _DEFAULT_SOURCE
#include <semaphore.h>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

static const useconds_t alarmMicros = 300000;

static sem_t rung;

static void ring(int signum)
{
    (void)signum;
    sem_post(&rung);
}

int main(void)
{
    sem_init(&rung, 0, 0);
    signal(SIGALRM, ring);
    for (int i = 1; i <= 2; i++) {
        ualarm(alarmMicros, 0);
        while (sem_wait(&rung) != 0) {
            continue; // interrupted by the signal before the post
        }
        printf("rung %d\n", i);
    }
    return 0;
}
