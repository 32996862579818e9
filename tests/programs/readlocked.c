// main reads the table under its read lock, and while it still holds it,
// waits for the updater, which needs the lock for writing: neither goes on.
#define _POSIX_C_SOURCE 200809L
#include <pthread.h>
#include <stdio.h>

static pthread_rwlock_t tableLock = PTHREAD_RWLOCK_INITIALIZER;
static int table[4];

static void *updater(void *arg)
{
    (void)arg;
    pthread_rwlock_wrlock(&tableLock);
    table[0]++;
    pthread_rwlock_unlock(&tableLock);
    return NULL;
}

int main(void)
{
    pthread_rwlock_rdlock(&tableLock);
    printf("first entry %d\n", table[0]);
    pthread_t thread;
    pthread_create(&thread, NULL, updater, NULL);
    pthread_join(thread, NULL);
    pthread_rwlock_unlock(&tableLock);
    return 0;
}
