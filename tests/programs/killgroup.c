// Kills its own process group with SIGTERM, itself included.
#define _DEFAULT_SOURCE
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

int main(void)
{
    puts("killing my group");
    fflush(stdout);
    kill(0, SIGTERM);
    pause();
    puts("not reached");
    return 0;
}
