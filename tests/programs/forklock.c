// A thread holds a mutex while main forks: the child's copy of the mutex is
// locked, and no thread of the child will ever unlock it. The child locks
// it and hangs; the parent waits for the child.
#define _DEFAULT_SOURCE
#include <pthread.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

static pthread_mutex_t m = PTHREAD_MUTEX_INITIALIZER;

static void *holder(void *arg)
{
    (void)arg;
    pthread_mutex_lock(&m);
    usleep(500000);
    pthread_mutex_unlock(&m);
    return NULL;
}

int main(void)
{
    pthread_t thread;
    pthread_create(&thread, NULL, holder, NULL);
    usleep(100000);
    fflush(stdout);
    pid_t child = fork();
    if (child == 0) {
        pthread_mutex_lock(&m);
        puts("never printed");
        _exit(0);
    }
    pthread_join(thread, NULL);
    waitpid(child, NULL, 0);
    return 0;
}
