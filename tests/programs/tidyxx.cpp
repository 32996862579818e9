// C++ threads that share data without a race: under a std::mutex, through a
// condition variable, an atomic flag, a counting semaphore and the join.
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <semaphore>
#include <thread>

constexpr int rounds = 1000;

std::mutex m;
std::condition_variable filled;
std::atomic<bool> published{false};
std::counting_semaphore<1> handed(0);
long counter = 0;
long viaCondition = 0;
long viaAtomic = 0;
long viaSemaphore = 0;
bool full = false;

void worker()
{
    for (int i = 0; i < rounds; i++) {
        std::lock_guard<std::mutex> guard(m);
        counter++;
    }
    {
        std::lock_guard<std::mutex> guard(m);
        viaCondition = 1;
        full = true;
    }
    filled.notify_one();
    viaAtomic = 2;
    published.store(true, std::memory_order_release);
    viaSemaphore = 3;
    handed.release();
}

int main()
{
    std::thread thread(worker);
    for (int i = 0; i < rounds; i++) {
        std::lock_guard<std::mutex> guard(m);
        counter++;
    }
    long seen = 0;
    {
        std::unique_lock<std::mutex> lock(m);
        filled.wait(lock, [] { return full; });
        seen += viaCondition;
    }
    while (!published.load(std::memory_order_acquire)) {
        std::this_thread::yield();
    }
    seen += viaAtomic;
    handed.acquire();
    seen += viaSemaphore;
    thread.join();
    std::printf("counter %ld, seen %ld\n", counter, seen);
}
