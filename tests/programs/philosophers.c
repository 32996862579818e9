// Five philosophers share five forks, a semaphore each. Each takes the lower
// numbered of its two forks first, so that no cycle of waits can form.
#define _DEFAULT_SOURCE
#include <pthread.h>
#include <semaphore.h>
#include <stdio.h>
#include <unistd.h>

enum { philosophers = 5, meals = 3 };
static const useconds_t eatingMicros = 100000;
static const useconds_t thinkingMicros = 50000;

static sem_t forks[philosophers];

static void *philosopher(void *arg)
{
    const int n = *(const int *)arg;
    const int left = n;
    const int right = (n + 1) % philosophers;
    const int first = left < right ? left : right;
    const int second = left < right ? right : left;
    for (int meal = 1; meal <= meals; meal++) {
        usleep(thinkingMicros);
        sem_wait(&forks[first]);
        sem_wait(&forks[second]);
        printf("philosopher %d eats meal %d\n", n, meal);
        usleep(eatingMicros);
        sem_post(&forks[second]);
        sem_post(&forks[first]);
    }
    return NULL;
}

int main(void)
{
    static int numbers[philosophers];
    pthread_t threads[philosophers];
    for (int i = 0; i < philosophers; i++) {
        sem_init(&forks[i], 0, 1);
    }
    for (int i = 0; i < philosophers; i++) {
        numbers[i] = i;
        pthread_create(&threads[i], NULL, philosopher, &numbers[i]);
    }
    for (int i = 0; i < philosophers; i++) {
        pthread_join(threads[i], NULL);
    }
    return 0;
}
