// Three threads take turns at one mutex, all named at length: a picture must
// keep its lanes wide and its legends whole, whatever the names.
#include <pthread.h>
#include <stdio.h>

enum { workers = 3 };
static const int rounds = 200;

static pthread_mutex_t shared_account_balance_protection_lock_for_all_tellers =
    PTHREAD_MUTEX_INITIALIZER;
static long balance;

static void *bank_teller_depositing_customer_payments_into_the_account(void *arg)
{
    (void)arg;
    for (int i = 0; i < rounds; i++) {
        pthread_mutex_lock(&shared_account_balance_protection_lock_for_all_tellers);
        balance++;
        pthread_mutex_unlock(&shared_account_balance_protection_lock_for_all_tellers);
    }
    return NULL;
}

int main(void)
{
    pthread_t tellers[workers];
    for (int i = 0; i < workers; i++) {
        pthread_create(&tellers[i], NULL, bank_teller_depositing_customer_payments_into_the_account,
                       NULL);
    }
    for (int i = 0; i < workers; i++) {
        pthread_join(tellers[i], NULL);
    }
    printf("balance %ld\n", balance);
    return 0;
}
