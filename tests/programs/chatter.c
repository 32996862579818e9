// Writes many short lines and ends: more output than the tool keeps for its
// trace. How many lines comes from the command line (150,000 unless given).
#include <stdio.h>
#include <stdlib.h>

static const long defaultLines = 150000;

int main(int argc, char **argv)
{
    long lines = argc > 1 ? strtol(argv[1], NULL, 10) : defaultLines;
    for (long i = 0; i < lines; i++) {
        printf("line %ld\n", i);
    }
    return 0;
}
