// The main thread waits long in a join while its worker sleeps, and the
// program ends normally: a long wait is not a hang.
#include <pthread.h>
#include <stdio.h>
#include <unistd.h>

static const unsigned workSeconds = 3;

static void *worker(void *arg)
{
    (void)arg;
    sleep(workSeconds);
    puts("worker done");
    return NULL;
}

int main(void)
{
    pthread_t thread;
    pthread_create(&thread, NULL, worker, NULL);
    pthread_join(thread, NULL);
    puts("joined");
    return 0;
}
