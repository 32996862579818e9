// A POSIX timer posts a semaphore every 100 ms from a thread of its own
// (SIGEV_THREAD), and five threads each wait for one post, so that for most
// of the run every thread of the program waits: only the timer wakes them.
#define _POSIX_C_SOURCE 200809L
#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <stdio.h>
#include <time.h>

enum { waiters = 5 };
static const long tickNanos = 100000000;

static sem_t tick;

static void post(union sigval value)
{
    (void)value;
    sem_post(&tick);
}

static void *waiter(void *arg)
{
    sem_wait(&tick);
    printf("waiter %ld woken\n", (long)arg);
    return NULL;
}

int main(void)
{
    sem_init(&tick, 0, 0);
    struct sigevent event = {.sigev_notify = SIGEV_THREAD, .sigev_notify_function = post};
    timer_t timer;
    timer_create(CLOCK_MONOTONIC, &event, &timer);
    struct itimerspec every = {.it_value = {0, tickNanos}, .it_interval = {0, tickNanos}};
    timer_settime(timer, 0, &every, NULL);
    pthread_t threads[waiters];
    for (long i = 0; i < waiters; i++) {
        pthread_create(&threads[i], NULL, waiter, (void *)(i + 1));
    }
    for (int i = 0; i < waiters; i++) {
        pthread_join(threads[i], NULL);
    }
    timer_delete(timer);
    puts("all woken");
    return 0;
}
