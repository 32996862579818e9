// Four threads each lock one std::mutex and unlock it 250,000 times, through
// a lock_guard: a million lock and unlock pairs, for the benchmark.
#include <cstdio>
#include <mutex>
#include <thread>

constexpr int threads = 4;
constexpr int rounds = 250000;

std::mutex m;
long total = 0;

void add()
{
    for (int round = 0; round < rounds; round++) {
        std::lock_guard<std::mutex> guard(m);
        total++;
    }
}

int main()
{
    std::thread adders[threads] = {std::thread(add), std::thread(add), std::thread(add),
                                   std::thread(add)};
    for (auto &adder : adders) {
        adder.join();
    }
    std::printf("%ld\n", total);
}
