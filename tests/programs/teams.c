// OpenMP makes the threads: a parallel loop sums with a reduction, then each
// of three threads says hello, one at a time.
#include <omp.h>
#include <stdio.h>

enum { teamSize = 3 };
static const int loopLength = 300000;

int main(void)
{
    long sum = 0;
#pragma omp parallel for reduction(+ : sum) num_threads(teamSize)
    for (int i = 0; i < loopLength; i++) {
        sum += i % 7;
    }
    printf("sum %ld\n", sum);
#pragma omp parallel num_threads(teamSize)
    {
#pragma omp critical
        printf("hello from %d\n", omp_get_thread_num());
    }
    return 0;
}
