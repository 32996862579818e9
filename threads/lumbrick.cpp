// lumbrick: a thread hands a result to the thread that joins it.
// The worker returns the address of an integer with static storage, which
// stays valid after the worker has ended; the main thread gets it through
// the join and prints the integer.
#include <cerrno>
#include <cstdio>
#include <pthread.h>

constexpr int handedBackValue = 27;

static void *tFunc(void *)
{
    static int ret = handedBackValue; // static: never the address of the worker's own stack
    puts("Привет из потока");
    return &ret;
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
    pthread_t thread{};
    void *exitValue = nullptr;

    int result = pthread_create(&thread, nullptr, tFunc, nullptr);
    if (result != 0) {
        errno = result; // the pthread calls return their error and leave errno alone
        perror("pthread_create");
        return 1;
    }
    result = pthread_join(thread, &exitValue);
    if (result != 0) {
        // The worker may be in the middle of its greeting: hold the stream,
        // or exit flushes it unlocked beside the worker and the line comes twice.
        flockfile(stdout);
        errno = result;
        perror("pthread_join");
        return 1;
    }
    printf("%d\n", *static_cast<int *>(exitValue));
    return outputStatus();
}
