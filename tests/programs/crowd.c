// Starts many threads at once, each naps briefly, and joins them all: more
// tracks than a picture can show. How many threads comes from the command
// line (200 unless given).
#define _DEFAULT_SOURCE
#include <pthread.h>
#include <stdlib.h>
#include <unistd.h>

enum { mostThreads = 1000 };
static const long defaultThreads = 200;
static const useconds_t napMicroseconds = 10000;

static void *napper(void *arg)
{
    (void)arg;
    usleep(napMicroseconds);
    return NULL;
}

int main(int argc, char **argv)
{
    long count = argc > 1 ? strtol(argv[1], NULL, 10) : defaultThreads;
    if (count < 1 || count > mostThreads) {
        count = defaultThreads;
    }
    pthread_t threads[mostThreads];
    for (long i = 0; i < count; i++) {
        pthread_create(&threads[i], NULL, napper, NULL);
    }
    for (long i = 0; i < count; i++) {
        pthread_join(threads[i], NULL);
    }
    return 0;
}
