// A correct program whose lines hold what changes from run to run: process
// ids (a fork's child and its parent) and addresses (a global, a stack, the
// heap), and whose threads finish in any order.
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

enum { workers = 3 };

static long total;
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;

static void *work(void *arg)
{
    long *mine = malloc(sizeof *mine);
    *mine = (long)arg;
    pthread_mutex_lock(&lock);
    total += *mine;
    pthread_mutex_unlock(&lock);
    printf("worker %ld at %p\n", (long)arg, (void *)mine);
    free(mine);
    return NULL;
}

int main(void)
{
    pthread_t threads[workers];
    for (long i = 0; i < workers; i++) {
        pthread_create(&threads[i], NULL, work, (void *)(i + 1));
    }
    for (int i = 0; i < workers; i++) {
        pthread_join(threads[i], NULL);
    }
    pid_t child = fork();
    if (child == 0) {
        printf("child %d of %d\n", (int)getpid(), (int)getppid());
        return 0;
    }
    waitpid(child, NULL, 0);
    printf("parent %d: total %ld in %p\n", (int)getpid(), total, (void *)&total);
    return 0;
}
