// A thread computes a power of two with libm and checks it: right when run
// alone, wrong under uftrace 0.13, whose libmcount loses the floating-point
// arguments of a thread's first traced call.
#include <math.h>
#include <pthread.h>
#include <stdio.h>

static volatile double base = 2.0;
static volatile double power = 10.0;
static int wrong;

static void *compute(void *arg)
{
    (void)arg;
    double value = pow(base, power);
    wrong = value != 1024.0;
    return NULL;
}

int main(void)
{
    pthread_t thread;
    pthread_create(&thread, NULL, compute, NULL);
    pthread_join(thread, NULL);
    puts(wrong ? "wrong" : "right");
    return wrong;
}
