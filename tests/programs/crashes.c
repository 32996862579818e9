// Is killed by a signal, as a program that touches memory it may not.
#include <signal.h>
#include <stdio.h>

int main(void)
{
    puts("about to crash");
    raise(SIGSEGV);
    return 0;
}
