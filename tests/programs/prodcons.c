// A producer and three consumers share a buffer of two places under one
// mutex and two condition variables: the producer waits on notFull while the
// buffer is full, a consumer on notEmpty while it is empty.
#define _DEFAULT_SOURCE
#include <pthread.h>
#include <stdio.h>
#include <unistd.h>

enum { capacity = 2, items = 12, consumers = 3 };
static const useconds_t produceMicros = 100000;
static const useconds_t consumeMicros = 350000;

static pthread_mutex_t m = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t notFull = PTHREAD_COND_INITIALIZER;
static pthread_cond_t notEmpty = PTHREAD_COND_INITIALIZER;
static int buffer[capacity];
static int count, in, out;

static void *producer(void *arg)
{
    (void)arg;
    // One item more per consumer: a 0, which tells it to stop.
    for (int item = 1; item <= items + consumers; item++) {
        if (item <= items) {
            usleep(produceMicros);
        }
        pthread_mutex_lock(&m);
        while (count == capacity) {
            pthread_cond_wait(&notFull, &m);
        }
        buffer[in] = item <= items ? item : 0;
        in = (in + 1) % capacity;
        count++;
        if (item <= items) {
            printf("produced %d\n", item);
        }
        pthread_cond_signal(&notEmpty);
        pthread_mutex_unlock(&m);
    }
    return NULL;
}

static void *consumer(void *arg)
{
    const int n = *(const int *)arg;
    for (;;) {
        pthread_mutex_lock(&m);
        while (count == 0) {
            pthread_cond_wait(&notEmpty, &m);
        }
        const int item = buffer[out];
        out = (out + 1) % capacity;
        count--;
        pthread_cond_signal(&notFull);
        pthread_mutex_unlock(&m);
        if (item == 0) {
            return NULL;
        }
        printf("consumer %d took %d\n", n, item);
        usleep(consumeMicros);
    }
}

int main(void)
{
    static int numbers[consumers];
    pthread_t producerThread;
    pthread_t consumerThreads[consumers];
    pthread_create(&producerThread, NULL, producer, NULL);
    for (int i = 0; i < consumers; i++) {
        numbers[i] = i + 1;
        pthread_create(&consumerThreads[i], NULL, consumer, &numbers[i]);
    }
    pthread_join(producerThread, NULL);
    for (int i = 0; i < consumers; i++) {
        pthread_join(consumerThreads[i], NULL);
    }
    puts("all consumed");
    return 0;
}
