// gorvane: the simplest life of a POSIX thread.
// The main thread starts one worker, says that it waits, and blocks in the
// join until the worker has greeted and ended.
#include <cerrno>
#include <cstdio>
#include <pthread.h>
#include <unistd.h>

constexpr unsigned workerSleepSeconds = 5;

static void *tFunc(void *)
{
    // The sleep, not any synchronisation, puts the main thread's line first.
    sleep(workerSleepSeconds);
    puts("Привет из потока!");
    return nullptr;
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

    int result = pthread_create(&thread, nullptr, tFunc, nullptr);
    if (result != 0) {
        errno = result; // the pthread calls return their error and leave errno alone
        perror("pthread_create");
        return 1;
    }
    puts("Ждем окончания потока");

    result = pthread_join(thread, nullptr);
    if (result != 0) {
        // The worker may be in the middle of its greeting: hold the stream,
        // or exit flushes it unlocked beside the worker and the line comes twice.
        flockfile(stdout);
        errno = result;
        perror("pthread_join");
        return 1;
    }
    return outputStatus();
}
