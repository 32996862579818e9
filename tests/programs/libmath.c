// A thread computes a power of two with libm and checks it, its first call
// passing floating-point arguments: a tracer that keeps no floating-point
// registers across the calls it hooks gets it wrong.
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
