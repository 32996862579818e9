// main leaves with pthread_exit, as much textbook code does, and its two
// threads take two mutexes in opposite orders: the process lives on without
// its main thread, until the threads deadlock.
#define _DEFAULT_SOURCE
#include <pthread.h>
#include <stdio.h>
#include <unistd.h>

static const useconds_t holdMicros = 500000;

static pthread_mutex_t first = PTHREAD_MUTEX_INITIALIZER;
static pthread_mutex_t second = PTHREAD_MUTEX_INITIALIZER;

static void *forwards(void *arg)
{
    (void)arg;
    pthread_mutex_lock(&first);
    usleep(holdMicros);
    pthread_mutex_lock(&second);
    return NULL;
}

static void *backwards(void *arg)
{
    (void)arg;
    pthread_mutex_lock(&second);
    usleep(holdMicros);
    printf("backwards holds second, %s\n", "and wants first");
    pthread_mutex_lock(&first);
    return NULL;
}

int main(void)
{
    pthread_t one, two;
    pthread_create(&one, NULL, forwards, NULL);
    pthread_create(&two, NULL, backwards, NULL);
    puts("main leaves");
    pthread_exit(NULL);
}
