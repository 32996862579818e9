// Forks children while another thread takes and releases a mutex and writes
// without pause: many forks come while that thread is inside a call that
// the tool records. Each child takes a mutex that only children use (the
// busy one may be held in the copy it got), writes its line and ends; the
// parent collects them all.
#include <pthread.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

enum { children = 20 };

static pthread_mutex_t busy = PTHREAD_MUTEX_INITIALIZER;
static pthread_mutex_t own = PTHREAD_MUTEX_INITIALIZER;
static volatile int done;

static void *churn(void *arg)
{
    (void)arg;
    FILE *sink = fopen("/dev/null", "w");
    while (!done) {
        pthread_mutex_lock(&busy);
        fprintf(sink, "churning\n");
        pthread_mutex_unlock(&busy);
    }
    fclose(sink);
    return NULL;
}

int main(void)
{
    pthread_t thread;
    pthread_create(&thread, NULL, churn, NULL);
    int collected = 0;
    for (int i = 1; i <= children; i++) {
        fflush(stdout);
        pid_t child = fork();
        if (child == 0) {
            pthread_mutex_lock(&own);
            printf("child %d ran\n", i);
            pthread_mutex_unlock(&own);
            fflush(stdout);
            _exit(0);
        }
        int status;
        if (child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status)) {
            collected++;
        }
    }
    done = 1;
    pthread_join(thread, NULL);
    printf("collected %d children\n", collected);
    return 0;
}
