// Two sellers check that a ticket is left and then sell it, each step under
// the lock but not the two together: both may see the last ticket, and the
// hall is sold one seat too many.
#include <pthread.h>
#include <stdio.h>

enum { seats = 10, sellers = 2 };

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static int left = seats;
static int sold;

static void *sell(void *arg)
{
    (void)arg;
    for (;;) {
        pthread_mutex_lock(&lock);
        int any = left > 0;
        pthread_mutex_unlock(&lock);
        if (!any) {
            return NULL;
        }
        pthread_mutex_lock(&lock);
        left--;
        sold++;
        pthread_mutex_unlock(&lock);
    }
}

int main(void)
{
    pthread_t threads[sellers];
    for (int i = 0; i < sellers; i++) {
        pthread_create(&threads[i], NULL, sell, NULL);
    }
    for (int i = 0; i < sellers; i++) {
        pthread_join(threads[i], NULL);
    }
    printf("sold %d of %d seats\n", sold, seats);
    return 0;
}
