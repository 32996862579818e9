// Data races of the kinds learners make: two threads add to a counter with
// no lock between them, one of them also changes a member of a struct and
// an element of an array under a lock that the other does not take, and
// main writes a block of the heap that a thread reads, trusting a sleep to
// keep them apart.
#define _DEFAULT_SOURCE
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

enum { rounds = 100000, slotCount = 8 };
static const useconds_t waitMicros = 100000;

struct account {
    long id;
    long balance;
};

long counter;
struct account bank;
long slots[slotCount];
pthread_mutex_t bankLock = PTHREAD_MUTEX_INITIALIZER;
long *shared;

static void *adder(void *arg)
{
    for (int i = 0; i < rounds; i++) {
        counter++;
    }
    if (arg != NULL) {
        pthread_mutex_lock(&bankLock);
        bank.balance += 10;
        slots[3] = 7;
        pthread_mutex_unlock(&bankLock);
    } else {
        printf("balance %ld, slot %ld\n", bank.balance, slots[3]);
    }
    return NULL;
}

static void *reader(void *arg)
{
    (void)arg;
    usleep(waitMicros);
    printf("shared %ld\n", *shared);
    return NULL;
}

int main(void)
{
    shared = malloc(sizeof *shared);
    pthread_t threads[3];
    pthread_create(&threads[0], NULL, adder, &bank);
    pthread_create(&threads[1], NULL, adder, NULL);
    pthread_create(&threads[2], NULL, reader, NULL);
    *shared = 42; // "surely" before the reader wakes up
    for (int i = 0; i < 3; i++) {
        pthread_join(threads[i], NULL);
    }
    printf("counter %ld\n", counter);
    free(shared);
    return 0;
}
