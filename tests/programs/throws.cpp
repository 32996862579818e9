// A thread throws an exception that nothing catches: std::terminate aborts
// the whole program while main waits in a join and another thread sleeps.
// The thrower spins until main lets it go, so the sleeper is asleep by then.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <thread>

constexpr auto settleTime = std::chrono::milliseconds(100);
constexpr auto restTime = std::chrono::seconds(10);

std::atomic<bool> go(false);

void failing()
{
    std::puts("about to throw");
    while (!go) {
    }
    throw std::runtime_error("nobody catches this");
}

void resting()
{
    std::this_thread::sleep_for(restTime);
}

int main()
{
    std::thread worker(failing);
    std::thread sleeper(resting);
    std::this_thread::sleep_for(settleTime);
    go = true;
    worker.join();
    sleeper.join();
    std::puts("not reached");
}
