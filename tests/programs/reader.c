// Reads numbers from its standard input, a line each, and a thread adds
// each one up under a mutex, until the input ends.
#include <pthread.h>
#include <stdio.h>

static pthread_mutex_t m = PTHREAD_MUTEX_INITIALIZER;
static long total;

static void *add(void *arg)
{
    pthread_mutex_lock(&m);
    total += *(long *)arg;
    pthread_mutex_unlock(&m);
    return NULL;
}

int main(void)
{
    long number;
    while (scanf("%ld", &number) == 1) {
        pthread_t adder;
        pthread_create(&adder, NULL, add, &number);
        pthread_join(adder, NULL);
        printf("read %ld, total %ld\n", number, total);
    }
    puts("end of input");
    return 0;
}
