// Two threads take the same two mutexes in opposite orders: each holds one
// and waits for the other, for ever.
#define _DEFAULT_SOURCE
#include <pthread.h>
#include <stdio.h>
#include <unistd.h>

static const useconds_t holdMicros = 500000; // long enough for both to take their first lock

static pthread_mutex_t first = PTHREAD_MUTEX_INITIALIZER;
static pthread_mutex_t second = PTHREAD_MUTEX_INITIALIZER;

static void *forwards(void *arg)
{
    (void)arg;
    pthread_mutex_lock(&first);
    usleep(holdMicros);
    pthread_mutex_lock(&second);
    puts("forwards has both");
    pthread_mutex_unlock(&second);
    pthread_mutex_unlock(&first);
    return NULL;
}

static void *backwards(void *arg)
{
    (void)arg;
    pthread_mutex_lock(&second);
    usleep(holdMicros);
    pthread_mutex_lock(&first);
    puts("backwards has both");
    pthread_mutex_unlock(&first);
    pthread_mutex_unlock(&second);
    return NULL;
}

int main(void)
{
    pthread_t a;
    pthread_t b;
    pthread_create(&a, NULL, forwards, NULL);
    pthread_create(&b, NULL, backwards, NULL);
    pthread_join(a, NULL);
    pthread_join(b, NULL);
    return 0;
}
