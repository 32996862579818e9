// A thread crashes while main waits in the join and two other threads wait
// on a condition variable and a semaphore that nobody will ever signal or
// post: the waits are in flight when the process dies.
#define _DEFAULT_SOURCE
#include <pthread.h>
#include <semaphore.h>
#include <stdio.h>
#include <unistd.h>

static const useconds_t crashMicros = 500000;

static pthread_mutex_t m = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t never = PTHREAD_COND_INITIALIZER;
static sem_t none;

static void *waiter(void *arg)
{
    (void)arg;
    pthread_mutex_lock(&m);
    pthread_cond_wait(&never, &m);
    pthread_mutex_unlock(&m);
    return NULL;
}

static void *poster(void *arg)
{
    (void)arg;
    sem_wait(&none);
    return NULL;
}

static void *crasher(void *arg)
{
    (void)arg;
    usleep(crashMicros);
    puts("crashing");
    fflush(stdout);
    volatile int *nowhere = NULL;
    return (void *)(long)*nowhere;
}

int main(void)
{
    sem_init(&none, 0, 0);
    pthread_t threads[3];
    pthread_create(&threads[0], NULL, waiter, NULL);
    pthread_create(&threads[1], NULL, poster, NULL);
    pthread_create(&threads[2], NULL, crasher, NULL);
    pthread_join(threads[2], NULL);
    return 0;
}
