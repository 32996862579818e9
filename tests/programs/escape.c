// A signal's handler jumps out of the sleep it interrupted with siglongjmp:
// the sleep never returns, and the program goes on after its sigsetjmp.
#define _DEFAULT_SOURCE
#include <setjmp.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

static sigjmp_buf back;

static void escape(int signal)
{
    (void)signal;
    siglongjmp(back, 1);
}

int main(void)
{
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = escape;
    sigaction(SIGALRM, &action, NULL);
    if (sigsetjmp(back, 1) == 0) {
        ualarm(200000, 0);
        sleep(3);
        puts("not reached");
    }
    puts("escaped from the sleep");
    return 0;
}
