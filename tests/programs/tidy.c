// Threads and processes that share data without a race: under a mutex,
// handed over through a semaphore and a condition variable, through create
// and join, through fork, and through atomics (C11's and GCC's builtins).
#define _DEFAULT_SOURCE
#include <pthread.h>
#include <semaphore.h>
#include <stdatomic.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

enum { rounds = 1000 };

static pthread_mutex_t m = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t filled = PTHREAD_COND_INITIALIZER;
static sem_t posted;
static long counter, viaSemaphore, viaCondition, viaJoin, viaAtomic, viaBuiltin;
static int full;
static atomic_int published;
static int builtinFlag;

static void *worker(void *arg)
{
    (void)arg;
    for (int i = 0; i < rounds; i++) {
        pthread_mutex_lock(&m);
        counter++;
        pthread_mutex_unlock(&m);
    }
    viaSemaphore = 1;
    sem_post(&posted);
    pthread_mutex_lock(&m);
    viaCondition = 2;
    full = 1;
    pthread_cond_signal(&filled);
    pthread_mutex_unlock(&m);
    viaAtomic = 3;
    atomic_store_explicit(&published, 1, memory_order_release);
    viaBuiltin = 4;
    __atomic_store_n(&builtinFlag, 1, __ATOMIC_RELEASE);
    viaJoin = 5;
    return NULL;
}

int main(void)
{
    sem_init(&posted, 0, 0);
    pthread_t thread;
    pthread_create(&thread, NULL, worker, NULL);
    for (int i = 0; i < rounds; i++) {
        pthread_mutex_lock(&m);
        counter++;
        pthread_mutex_unlock(&m);
    }
    sem_wait(&posted);
    long seen = viaSemaphore;
    pthread_mutex_lock(&m);
    while (!full) {
        pthread_cond_wait(&filled, &m);
    }
    seen += viaCondition;
    pthread_mutex_unlock(&m);
    while (!atomic_load_explicit(&published, memory_order_acquire)) {
        continue;
    }
    seen += viaAtomic;
    while (!__atomic_load_n(&builtinFlag, __ATOMIC_ACQUIRE)) {
        continue;
    }
    seen += viaBuiltin;
    pthread_join(thread, NULL);
    seen += viaJoin;
    pid_t child = fork();
    if (child == 0) {
        counter++; // the child's own copy
        return 0;
    }
    counter++;
    waitpid(child, NULL, 0);
    printf("counter %ld, seen %ld\n", counter, seen);
    return 0;
}
