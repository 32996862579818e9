// A parent posts a semaphore for its child and waits for it to exit. But the
// semaphore is private (pshared 0, in memory that fork copies): the post
// goes to the parent's copy, and the child waits on its own for ever.
#include <semaphore.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

static sem_t go;

int main(void)
{
    sem_init(&go, 0, 0);
    fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
        puts("child waits for go");
        sem_wait(&go);
        puts("child goes");
        return 0;
    }
    puts("parent posts go");
    sem_post(&go);
    waitpid(child, NULL, 0);
    return 0;
}
