// Four ways for threads to wait for ever: a condition variable that nobody
// notifies, a latch that never reaches zero, a semaphore that nobody
// releases, and main, which joins the first of them.
#include <condition_variable>
#include <cstdio>
#include <latch>
#include <mutex>
#include <semaphore>
#include <thread>

std::mutex m;
std::condition_variable ready;
bool isReady = false;
std::latch started(3);
std::counting_semaphore<2> slots(0);

void waiter()
{
    std::unique_lock<std::mutex> lock(m);
    ready.wait(lock, [] { return isReady; });
}

void counter()
{
    started.count_down();
    started.wait();
}

void taker()
{
    slots.acquire();
}

int main()
{
    std::thread first(waiter), second(counter), third(taker);
    puts("all started");
    first.join();
    second.join();
    third.join();
}
