// Two threads take the same two mutexes in opposite orders, but far apart
// in time: the first is done long before the second starts, or so it seems,
// and the run deadlocks only when they overlap.
#include <pthread.h>
#include <stdio.h>

enum { rounds = 20 };

static pthread_mutex_t accounts = PTHREAD_MUTEX_INITIALIZER;
static pthread_mutex_t ledger = PTHREAD_MUTEX_INITIALIZER;
static long balance;
static long entries;
static long audited;

static void *deposit(void *arg)
{
    (void)arg;
    for (int i = 0; i < rounds; i++) {
        pthread_mutex_lock(&accounts);
        balance += 10;
        pthread_mutex_lock(&ledger);
        entries++;
        pthread_mutex_unlock(&ledger);
        pthread_mutex_unlock(&accounts);
    }
    return NULL;
}

static void *audit(void *arg)
{
    (void)arg;
    pthread_mutex_lock(&ledger);
    long seen = entries;
    pthread_mutex_lock(&accounts);
    audited = seen + balance;
    pthread_mutex_unlock(&accounts);
    pthread_mutex_unlock(&ledger);
    return NULL;
}

int main(void)
{
    pthread_t depositor;
    pthread_t auditor;
    pthread_create(&depositor, NULL, deposit, NULL);
    pthread_join(depositor, NULL); // the deposits are done before the audit starts
    pthread_create(&depositor, NULL, deposit, NULL);
    pthread_create(&auditor, NULL, audit, NULL);
    pthread_join(depositor, NULL);
    pthread_join(auditor, NULL);
    printf("balance %ld in %ld entries, audited %s\n", balance, entries, audited ? "yes" : "no");
    return 0;
}
