// Data handed from thread to thread through C++20's latch, a promise and a
// counting semaphore, each made ready before main waits on it, so that no
// one sleeps in the kernel: nothing is shared without an ordering.
#include <chrono>
#include <cstdio>
#include <future>
#include <latch>
#include <semaphore>
#include <thread>

constexpr auto settle = std::chrono::milliseconds(200);

std::latch counted(1);
std::counting_semaphore<1> released(0);
long viaLatch = 0;
long viaPromise = 0;
long viaSemaphore = 0;

void countdown()
{
    viaLatch = 1;
    counted.count_down();
}

void promiser(std::promise<int> *promise)
{
    viaPromise = 2;
    promise->set_value(0);
}

void releaser()
{
    viaSemaphore = 3;
    released.release();
}

int main()
{
    std::promise<int> promise;
    std::future<int> future = promise.get_future();
    std::thread first(countdown);
    std::thread second(promiser, &promise);
    std::thread third(releaser);
    std::this_thread::sleep_for(settle);
    counted.wait();
    long seen = viaLatch;
    seen += future.get() + viaPromise;
    released.acquire();
    seen += viaSemaphore;
    first.join();
    second.join();
    third.join();
    std::printf("seen %ld\n", seen);
}
