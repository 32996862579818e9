// Stops itself with SIGSTOP, as a program stopped from outside would be.
#include <signal.h>
#include <stdio.h>

int main(void)
{
    puts("stopping myself");
    fflush(stdout);
    raise(SIGSTOP);
    puts("continued");
    return 0;
}
