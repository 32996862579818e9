// A waiter waits on a condition variable that nobody signals: main sets the
// flag but forgets pthread_cond_signal, so the waiter never looks again.
#define _DEFAULT_SOURCE
#include <pthread.h>
#include <stdio.h>
#include <unistd.h>

static const useconds_t delayMicros = 500000;

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t ready = PTHREAD_COND_INITIALIZER;
static int isReady;

static void *waiter(void *arg)
{
    (void)arg;
    pthread_mutex_lock(&lock);
    while (!isReady) {
        pthread_cond_wait(&ready, &lock);
    }
    pthread_mutex_unlock(&lock);
    puts("ready");
    return NULL;
}

int main(void)
{
    pthread_t thread;
    pthread_create(&thread, NULL, waiter, NULL);
    usleep(delayMicros);
    pthread_mutex_lock(&lock);
    isReady = 1; // the signal that should follow is missing
    pthread_mutex_unlock(&lock);
    pthread_join(thread, NULL);
    return 0;
}
