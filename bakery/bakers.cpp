// bakers: a bakery as a bounded producer-consumer problem.
// Three baker threads put buns on a counter with room for three; seven eater
// threads take them off. Two counting semaphores, one for the free places and
// one for the buns lying on the counter, are all the workers share.
#include <cerrno>
#include <cstdio>
#include <pthread.h>
#include <semaphore.h>
#include <unistd.h>

constexpr int bakerCount = 3;
constexpr int eaterCount = 7;
constexpr unsigned counterPlaces = 3;
constexpr unsigned bunsAtStart = 0;
constexpr int bakerQuota = 7;
constexpr int eaterQuota = 3;
constexpr unsigned bakingSeconds = 6;
constexpr unsigned eatingSeconds = 3;
constexpr unsigned workdaySeconds = 75;
constexpr unsigned windDownSeconds = 5;

// What the day depends on: a changed constant that breaks one of these could
// leave a worker waiting for ever, and main in its join with it.
static_assert(bakerCount >= 1 && eaterCount >= 1,
              "the bakery needs at least one baker and one eater");
static_assert(counterPlaces >= 1,
              "the counter needs at least one place, or no baker can ever begin a bun");
static_assert(bakerQuota >= 1 && eaterQuota >= 1,
              "each quota must be at least 1: a worker stops only when its count reaches it");
static_assert(bakerCount * bakerQuota == eaterCount * eaterQuota,
              "supply must equal demand: bakers x their quota must equal eaters x their quota, "
              "or a worker can wait for ever for a place or a bun, and the join for it");

static sem_t bun;       // buns on the counter, ready to be eaten
static sem_t freePlace; // places on the counter nobody holds

// Each element is written only by its own worker while it runs; creation and
// join order the main thread's accesses, so no lock is needed.
int bakedBuns[bakerCount];
int eatenBuns[eaterCount];
int buns;
int freePlaces;

static void *Bake(void *arg)
{
    const int n = *static_cast<const int *>(arg);
    while (bakedBuns[n - 1] != bakerQuota) {
        ++bakedBuns[n - 1]; // raised before the wait: it counts buns begun
        sem_wait(&freePlace);
        sleep(bakingSeconds);
        printf("Baker %d is baking %d bun...\n", n, bakedBuns[n - 1]);
        sem_post(&bun);
    }
    return nullptr;
}

static void *Eat(void *arg)
{
    const int n = *static_cast<const int *>(arg);
    while (eatenBuns[n - 1] != eaterQuota) {
        ++eatenBuns[n - 1];
        sem_wait(&bun);
        sleep(eatingSeconds);
        printf("Eater %d is eating %d bun...\n", n, eatenBuns[n - 1]);
        sem_post(&freePlace); // the place was held from baking until now
    }
    return nullptr;
}

static void Stats()
{
    puts("\n\tBaked Buns:");
    for (int i = 0; i < bakerCount; ++i) {
        printf("Baker %d baked %d buns.\n", i + 1, bakedBuns[i]);
    }
    puts("\n\tEaten Buns:");
    for (int i = 0; i < eaterCount; ++i) {
        printf("Eater %d ate %d buns.\n", i + 1, eatenBuns[i]);
    }
    puts("\n\tOther:");
    sem_getvalue(&bun, &buns);
    sem_getvalue(&freePlace, &freePlaces);
    printf("%d buns left.\n", buns);
    printf("%d free places left.\n", freePlaces);
}

// Output that could not be written (a full disk, a closed descriptor) is a
// failure, not a quiet success: flush what is pending and check the stream.
static int outputStatus()
{
    errno = 0;
    if (fflush(stdout) == 0 && ferror(stdout) == 0) {
        return 0;
    }
    if (errno == 0) {
        errno = EIO; // the write failed earlier, and its error number is gone
    }
    perror("write error");
    return 1;
}

int main()
{
    // Static, because on a failure path main returns while started workers
    // still hold pointers to their numbers.
    static int bakerNumbers[bakerCount];
    static int eaterNumbers[eaterCount];
    pthread_t bakerThreads[bakerCount];
    pthread_t eaterThreads[eaterCount];

    sem_init(&bun, 0, bunsAtStart);
    sem_init(&freePlace, 0, counterPlaces);
    puts("\tThe Start Of The Workday");

    for (int i = 0; i < bakerCount; ++i) {
        bakerNumbers[i] = i + 1;
        bakedBuns[i] = 0;
        const int result = pthread_create(&bakerThreads[i], nullptr, Bake, &bakerNumbers[i]);
        if (result != 0) {
            errno = result; // pthread_create returns its error and leaves errno alone
            perror("Baker was hit by car.\n");
            return 1;
        }
    }
    for (int i = 0; i < eaterCount; ++i) {
        eaterNumbers[i] = i + 1;
        eatenBuns[i] = 0;
        const int result = pthread_create(&eaterThreads[i], nullptr, Eat, &eaterNumbers[i]);
        if (result != 0) {
            errno = result;
            perror("Eater was hit by car.\n");
            return 1;
        }
    }

    // Only a delay: the joins below are what wait for the workers.
    sleep(workdaySeconds);
    puts("\n\tThe End Of The Workday");

    for (int i = 0; i < bakerCount; ++i) {
        const int result = pthread_join(bakerThreads[i], nullptr);
        if (result != 0) {
            printf("Baker %d died of overwork.", i + 1);
            return 1;
        }
        printf("Baker %d went home.\n", i + 1);
    }
    for (int i = 0; i < eaterCount; ++i) {
        const int result = pthread_join(eaterThreads[i], nullptr);
        if (result != 0) {
            printf("Eater %d died of overeating.", i + 1);
            return 1;
        }
        printf("Eater %d went home.\n", i + 1);
    }

    Stats();
    sleep(windDownSeconds);
    sem_destroy(&bun);
    sem_destroy(&freePlace);
    return outputStatus();
}
