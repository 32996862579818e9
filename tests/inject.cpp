// Loaded with LD_PRELOAD: makes one call of pthread_create, pthread_join or
// fork fail. INJECT_CALL names the call, INJECT_NTH which call of it (from 1)
// fails, INJECT_ERR the error number it fails with.
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <pthread.h>
#include <unistd.h>

constexpr int decimalBase = 10;

static int envNumber(const char *name)
{
    const char *value = getenv(name);
    return value == nullptr ? 0 : static_cast<int>(strtol(value, nullptr, decimalBase));
}

static int injectedError(const char *call)
{
    static std::atomic<int> calls{0};
    const char *name = getenv("INJECT_CALL");
    if (name == nullptr || strcmp(name, call) != 0 || ++calls != envNumber("INJECT_NTH")) {
        return 0;
    }
    return envNumber("INJECT_ERR");
}

template <typename F> static F real(const char *name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

extern "C" int pthread_create(pthread_t *thread, const pthread_attr_t *attr,
                              void *(*routine)(void *), void *arg) noexcept
{
    if (const int error = injectedError("pthread_create")) {
        errno = EDOM; // unrelated: code that reports errno instead of the result shows it
        return error;
    }
    return real<decltype(&pthread_create)>("pthread_create")(thread, attr, routine, arg);
}

extern "C" int pthread_join(pthread_t thread, void **result)
{
    if (const int error = injectedError("pthread_join")) {
        errno = EDOM;
        return error;
    }
    return real<decltype(&pthread_join)>("pthread_join")(thread, result);
}

extern "C" pid_t fork() noexcept
{
    if (const int error = injectedError("fork")) {
        errno = error; // fork reports through errno
        return -1;
    }
    return real<decltype(&fork)>("fork")();
}
