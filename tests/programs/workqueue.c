// A work queue on the heap: main puts tasks in, and two workers take them
// out under the queue's mutex, waiting on its condition while it is empty.
// The queue's lock and condition have no name but the code's: q->lock.
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>

enum { workerCount = 2, taskCount = 6 };

struct queue {
    pthread_mutex_t lock;
    pthread_cond_t ready;
    int tasks[taskCount];
    int head, tail;
    int closed;
};

static void *worker(void *arg)
{
    struct queue *q = arg;
    for (;;) {
        pthread_mutex_lock(&q->lock);
        while (q->head == q->tail && !q->closed) {
            pthread_cond_wait(&q->ready, &q->lock);
        }
        if (q->head == q->tail) {
            pthread_mutex_unlock(&q->lock);
            return NULL;
        }
        int task = q->tasks[q->head++];
        pthread_mutex_unlock(&q->lock);
        printf("task %d done\n", task);
    }
}

int main(void)
{
    struct queue *q = calloc(1, sizeof *q);
    if (q == NULL) {
        return 1;
    }
    pthread_mutex_init(&q->lock, NULL);
    pthread_cond_init(&q->ready, NULL);
    pthread_t workers[workerCount];
    for (int i = 0; i < workerCount; i++) {
        pthread_create(&workers[i], NULL, worker, q);
    }
    for (int i = 0; i < taskCount; i++) {
        pthread_mutex_lock(&q->lock);
        q->tasks[q->tail++] = i;
        pthread_cond_signal(&q->ready);
        pthread_mutex_unlock(&q->lock);
    }
    pthread_mutex_lock(&q->lock);
    q->closed = 1;
    pthread_cond_broadcast(&q->ready);
    pthread_mutex_unlock(&q->lock);
    for (int i = 0; i < workerCount; i++) {
        pthread_join(workers[i], NULL);
    }
    free(q);
    return 0;
}
