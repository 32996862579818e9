// Four threads each sum a part of the series for pi and print their part
// with its square root and sine; main leaves with pthread_exit, and the
// process ends when the last worker does.
#include <math.h>
#include <pthread.h>
#include <stdio.h>

enum { workers = 4 };
static const long steps = 4000000;

static void *sum(void *arg)
{
    long part = (long)arg;
    double total = 0.0;
    for (long i = part; i < steps; i += workers) {
        double x = (i + 0.5) / steps;
        total += 4.0 / (1.0 + x * x);
    }
    total /= steps;
    printf("part %ld: %f, sqrt %f, sin %f, tan %.4f\n", part, total, sqrt(total), sin(total),
           tan(total));
    return NULL;
}

int main(void)
{
    pthread_t threads[workers];
    for (long i = 0; i < workers; i++) {
        pthread_create(&threads[i], NULL, sum, (void *)i);
    }
    puts("main leaves");
    pthread_exit(NULL);
}
