// Two threads take two std::mutexes through lock_guards in opposite orders,
// each sleeping in between so that both take their first: a deadlock.
#include <chrono>
#include <mutex>
#include <thread>

constexpr auto holdTime = std::chrono::milliseconds(1000);

std::mutex first;
std::mutex second;

void forwards()
{
    std::lock_guard<std::mutex> outer(first);
    std::this_thread::sleep_for(holdTime);
    std::lock_guard<std::mutex> inner(second);
}

void backwards()
{
    std::lock_guard<std::mutex> outer(second);
    std::this_thread::sleep_for(holdTime);
    std::lock_guard<std::mutex> inner(first);
}

int main()
{
    std::thread one(forwards);
    std::thread two(backwards);
    one.join();
    two.join();
}
