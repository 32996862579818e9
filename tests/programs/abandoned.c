// A thread takes a mutex and ends without unlocking it; main then asks for
// it, and waits for ever for a holder that is gone.
#include <pthread.h>
#include <stdio.h>

static pthread_mutex_t m = PTHREAD_MUTEX_INITIALIZER;

static void *taker(void *arg)
{
    (void)arg;
    pthread_mutex_lock(&m);
    puts("taken, and gone");
    return NULL;
}

int main(void)
{
    pthread_t thread;
    pthread_create(&thread, NULL, taker, NULL);
    pthread_join(thread, NULL);
    pthread_mutex_lock(&m);
    puts("not reached");
    return 0;
}
