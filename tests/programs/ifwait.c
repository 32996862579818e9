// A queue of one place, two consumers and an `if` where a `while` belongs:
// a consumer woken by the signal may find its item taken by the other, which
// came in meanwhile, and takes from an empty queue.
#include <pthread.h>
#include <stdio.h>

enum { items = 6, consumers = 2 };

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t filled = PTHREAD_COND_INITIALIZER;
static pthread_cond_t emptied = PTHREAD_COND_INITIALIZER;
static int slot;
static int full;

static void *produce(void *arg)
{
    (void)arg;
    for (int i = 1; i <= items + consumers; i++) { // the last ones tell the consumers to stop
        pthread_mutex_lock(&lock);
        while (full) {
            pthread_cond_wait(&emptied, &lock);
        }
        slot = i <= items ? i : 0;
        full = 1;
        pthread_cond_signal(&filled);
        pthread_mutex_unlock(&lock);
    }
    return NULL;
}

static void *consume(void *arg)
{
    (void)arg;
    for (;;) {
        pthread_mutex_lock(&lock);
        if (!full) {
            pthread_cond_wait(&filled, &lock);
        }
        int item = slot;
        full = 0;
        pthread_cond_signal(&emptied);
        pthread_mutex_unlock(&lock);
        if (item == 0) {
            return NULL;
        }
        printf("item %d taken\n", item);
    }
}

int main(void)
{
    pthread_t producer;
    pthread_t takers[consumers];
    pthread_create(&producer, NULL, produce, NULL);
    for (int i = 0; i < consumers; i++) {
        pthread_create(&takers[i], NULL, consume, NULL);
    }
    pthread_join(producer, NULL);
    for (int i = 0; i < consumers; i++) {
        pthread_join(takers[i], NULL);
    }
    puts("all taken");
    return 0;
}
