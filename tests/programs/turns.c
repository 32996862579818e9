// A parent and its child take turns through a named semaphore, but each
// waits for the other to post first: both wait for ever.
#include <fcntl.h>
#include <semaphore.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

static const char *const turnName = "/timeline_turns";

int main(void)
{
    sem_t *turn = sem_open(turnName, O_CREAT, 0600, 0);
    if (turn == SEM_FAILED) {
        perror("sem_open");
        return 1;
    }
    sem_unlink(turnName); // gone with the last process that has it open
    pid_t child = fork();
    if (child == 0) {
        sem_wait(turn);
        puts("child's turn");
        sem_post(turn);
        _exit(0);
    }
    sem_wait(turn);
    puts("parent's turn");
    sem_post(turn);
    waitpid(child, NULL, 0);
    return 0;
}
