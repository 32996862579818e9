// A lost wakeup: the waiter looks at the flag before it takes the mutex, so
// the main thread can set the flag and signal between the look and the
// wait, and the waiter then waits for ever. It hardly ever happens alone.
#define _DEFAULT_SOURCE
#include <pthread.h>
#include <stdio.h>
#include <unistd.h>

// Time for the waiter to start waiting, or so it is hoped.
static const useconds_t settleMicros = 1000;

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
static int ready;

static void *waiter(void *arg)
{
    (void)arg;
    if (!ready) {
        pthread_mutex_lock(&lock);
        pthread_cond_wait(&changed, &lock);
        pthread_mutex_unlock(&lock);
    }
    puts("waiter woken");
    return NULL;
}

int main(void)
{
    pthread_t thread;
    pthread_create(&thread, NULL, waiter, NULL);
    usleep(settleMicros);
    pthread_mutex_lock(&lock);
    ready = 1;
    pthread_cond_signal(&changed);
    pthread_mutex_unlock(&lock);
    pthread_join(thread, NULL);
    puts("done");
    return 0;
}
