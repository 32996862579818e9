// Locks kept in structures, as real programs keep them: a control block with
// a mutex and a condition variable, and an array of slots, each a counter
// with its own lock after a name; two workers take slot 3 and signal the
// control block when done. An array of 8 MB lies before the last mutex.
#include <pthread.h>
#include <stdio.h>

enum { slotCount = 15, rounds = 1000 };

struct slot {
    char name[128];
    long count;
    pthread_mutex_t lock;
};

static struct {
    int done;
    pthread_mutex_t m;
    pthread_cond_t cond;
} control = {0, PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER};

static struct slot data[slotCount];
static char scratch[8 << 20];
static pthread_mutex_t after = PTHREAD_MUTEX_INITIALIZER;

static void *worker(void *arg)
{
    (void)arg;
    for (int i = 0; i < rounds; i++) {
        pthread_mutex_lock(&data[3].lock);
        data[3].count++;
        pthread_mutex_unlock(&data[3].lock);
    }
    pthread_mutex_lock(&control.m);
    control.done++;
    pthread_cond_signal(&control.cond);
    pthread_mutex_unlock(&control.m);
    return NULL;
}

int main(void)
{
    for (int i = 0; i < slotCount; i++) {
        pthread_mutex_init(&data[i].lock, NULL);
    }
    pthread_t workers[2];
    for (int i = 0; i < 2; i++) {
        pthread_create(&workers[i], NULL, worker, NULL);
    }
    pthread_mutex_lock(&control.m);
    while (control.done < 2) {
        pthread_cond_wait(&control.cond, &control.m);
    }
    pthread_mutex_unlock(&control.m);
    for (int i = 0; i < 2; i++) {
        pthread_join(workers[i], NULL);
    }
    pthread_mutex_lock(&after);
    scratch[0] = 1;
    pthread_mutex_unlock(&after);
    printf("slot 3 counted %ld\n", data[3].count);
    return 0;
}
