// Five philosophers, a semaphore for each chopstick: each takes the one on
// the left, thinks a second, then waits for the one on the right, which
// its neighbour already holds. Nobody eats.
#include <pthread.h>
#include <semaphore.h>
#include <stdio.h>
#include <unistd.h>

enum { diners = 5 };
static const unsigned thinkSeconds = 1;

static sem_t chopstick[diners];

static void *philosopher(void *arg)
{
    int seat = *(int *)arg;
    sem_wait(&chopstick[seat]);
    sleep(thinkSeconds);
    sem_wait(&chopstick[(seat + 1) % diners]);
    printf("philosopher %d eats\n", seat);
    sem_post(&chopstick[(seat + 1) % diners]);
    sem_post(&chopstick[seat]);
    return NULL;
}

int main(void)
{
    pthread_t threads[diners];
    int seats[diners];
    for (int i = 0; i < diners; i++) {
        sem_init(&chopstick[i], 0, 1);
    }
    for (int i = 0; i < diners; i++) {
        seats[i] = i;
        pthread_create(&threads[i], NULL, philosopher, &seats[i]);
    }
    for (int i = 0; i < diners; i++) {
        pthread_join(threads[i], NULL);
    }
    return 0;
}
