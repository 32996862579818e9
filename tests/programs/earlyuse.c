// One thread sets up a table that another uses, and nothing orders them
// but the order in which they were created: the user may run first, and
// finds no table.
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>

enum { entries = 8 };

struct table {
    int values[entries];
};

static struct table *shared;
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;

static void *setUp(void *arg)
{
    (void)arg;
    struct table *made = calloc(1, sizeof *made);
    for (int i = 0; i < entries; i++) {
        made->values[i] = i * i;
    }
    pthread_mutex_lock(&lock);
    shared = made;
    pthread_mutex_unlock(&lock);
    return NULL;
}

static void *use(void *arg)
{
    (void)arg;
    pthread_mutex_lock(&lock);
    int last = shared->values[entries - 1];
    pthread_mutex_unlock(&lock);
    printf("last value %d\n", last);
    return NULL;
}

int main(void)
{
    pthread_t maker;
    pthread_t user;
    pthread_create(&maker, NULL, setUp, NULL);
    pthread_create(&user, NULL, use, NULL);
    pthread_join(maker, NULL);
    pthread_join(user, NULL);
    free(shared);
    return 0;
}
