// The only thread waits on a condition variable that nobody signals, but
// with a timeout: it goes on when the time is up, twice; not a hang.
#define _POSIX_C_SOURCE 200809L
#include <pthread.h>
#include <stdio.h>
#include <time.h>

static const time_t timeoutSeconds = 2;

static pthread_mutex_t m = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t never = PTHREAD_COND_INITIALIZER;

int main(void)
{
    pthread_mutex_lock(&m);
    for (int i = 1; i <= 2; i++) {
        struct timespec until;
        clock_gettime(CLOCK_REALTIME, &until);
        until.tv_sec += timeoutSeconds;
        pthread_cond_timedwait(&never, &m, &until);
        printf("timed out %d\n", i);
    }
    pthread_mutex_unlock(&m);
    return 0;
}
