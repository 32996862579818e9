// C++ threads that compute and print doubles with std::cout, a line at a
// time under a mutex, and a thread that computes without a single call:
// its lane shows it running.
#include <cmath>
#include <iostream>
#include <mutex>
#include <thread>
#include <vector>

constexpr int workers = 3;
constexpr long steps = 20000000;

volatile double sink;
std::mutex out;

int main()
{
    std::vector<std::thread> team;
    for (int id = 1; id <= workers; id++) {
        team.emplace_back([id] {
            double value = std::sqrt(2.0 * id) + std::sin(id / 3.0);
            std::lock_guard<std::mutex> hold(out);
            std::cout << "worker " << id << " got " << value << '\n';
        });
    }
    std::thread silent([] {
        double total = 0;
        for (long i = 1; i <= steps; i++) {
            total += 1.0 / static_cast<double>(i * i);
        }
        sink = total;
    });
    for (auto &worker : team) {
        worker.join();
    }
    silent.join();
    std::cout << "pi is about " << std::sqrt(6 * sink) << std::endl;
}
