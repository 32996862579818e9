// A thread waits on a condition that nobody signals, and is cancelled in
// the wait: its cleanup handler unlocks the mutex and says so.
#define _DEFAULT_SOURCE
#include <pthread.h>
#include <stdio.h>
#include <unistd.h>

static pthread_mutex_t m = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t never = PTHREAD_COND_INITIALIZER;

static void cleaned(void *arg)
{
    (void)arg;
    pthread_mutex_unlock(&m);
    puts("cleaned up after the cancel");
}

static void *waiter(void *arg)
{
    (void)arg;
    pthread_mutex_lock(&m);
    pthread_cleanup_push(cleaned, NULL);
    for (;;) {
        pthread_cond_wait(&never, &m);
    }
    pthread_cleanup_pop(1);
    return NULL;
}

int main(void)
{
    pthread_t thread;
    pthread_create(&thread, NULL, waiter, NULL);
    usleep(100000);
    pthread_cancel(thread);
    void *result;
    pthread_join(thread, &result);
    puts(result == PTHREAD_CANCELED ? "cancelled" : "not cancelled");
    return 0;
}
