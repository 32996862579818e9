// Closes every descriptor but the terminal's, and points another over a
// range of them, then makes threads that lock, wait and write: the tool's
// record needs no descriptor of the program's. Last it closes standard
// output and error, and writes on: those lines go nowhere, as the program
// asked.
#define _GNU_SOURCE
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <unistd.h>

enum { workers = 3, mostDescriptors = 1024 };

static pthread_mutex_t m = PTHREAD_MUTEX_INITIALIZER;
static int total;

static void *work(void *arg)
{
    pthread_mutex_lock(&m);
    total += (int)(long)arg;
    printf("worker %ld added\n", (long)arg);
    pthread_mutex_unlock(&m);
    return NULL;
}

int main(void)
{
    for (int fd = 3; fd < mostDescriptors; fd++) {
        close(fd);
    }
    int sink = open("/dev/null", O_WRONLY);
    for (int fd = 3; fd < 16; fd++) {
        dup2(sink, fd);
    }
    pthread_t threads[workers];
    for (long i = 0; i < workers; i++) {
        pthread_create(&threads[i], NULL, work, (void *)(i + 1));
    }
    for (int i = 0; i < workers; i++) {
        pthread_join(threads[i], NULL);
    }
    printf("total %d\n", total);
    fflush(stdout);
    close(STDOUT_FILENO);
    close(STDERR_FILENO);
    printf("nobody reads this\n");
    fprintf(stderr, "nor this\n");
    return 0;
}
