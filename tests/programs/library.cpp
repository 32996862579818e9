// The rest of C++'s concurrency library: a task run by std::async and a
// value handed over through a promise, a member function run as a thread
// on an element of an array of accounts, a shared_mutex with a
// condition_variable_any, a recursive and a timed mutex, and lines written
// to standard error through std::cerr and std::clog.
#include <chrono>
#include <condition_variable>
#include <future>
#include <iostream>
#include <mutex>
#include <shared_mutex>
#include <thread>

// Each wait blocks: the reader waits before main changes the table, the
// task ends after main asks for it, and the promise is kept after that.
constexpr auto settleTime = std::chrono::milliseconds(500);
constexpr auto taskTime = std::chrono::milliseconds(1000);
constexpr auto promiseTime = std::chrono::milliseconds(2000);

struct Account {
    std::mutex m;
    int balance = 0;
    void deposit(int amount)
    {
        std::lock_guard<std::mutex> guard(m);
        balance += amount;
    }
};

struct Table {
    std::shared_mutex lock;
    std::condition_variable_any changed;
    int version = 0;
};

Account accounts[3];
Table table;
std::recursive_mutex audit;
std::timed_mutex door;

int square(int x)
{
    std::this_thread::sleep_for(taskTime);
    return x * x;
}

void reader()
{
    std::shared_lock<std::shared_mutex> lock(table.lock);
    table.changed.wait(lock, [] { return table.version > 0; });
    std::clog << "reader saw version " << table.version << std::endl;
}

int main()
{
    std::future<int> squared = std::async(std::launch::async, square, 7);
    std::promise<int> promised;
    std::future<int> handed = promised.get_future();
    std::thread setter([&promised] {
        std::this_thread::sleep_for(promiseTime);
        promised.set_value(3);
    });
    std::thread depositing(&Account::deposit, &accounts[1], 10);
    std::thread reading(reader);
    std::thread auditing([] {
        std::scoped_lock both(audit, accounts[2].m);
        std::cerr << "audited" << std::endl;
    });
    if (door.try_lock_for(std::chrono::milliseconds(10))) {
        door.unlock();
    }
    std::this_thread::sleep_for(settleTime);
    {
        std::unique_lock<std::shared_mutex> lock(table.lock);
        table.version = 1;
    }
    table.changed.notify_all();
    // Both values are taken before the line is begun: std::cerr, tied to
    // std::cout, would flush half a line ahead of another thread's lines.
    int result = squared.get();
    int given = handed.get();
    std::cout << "square " << result << ", handed " << given << std::endl;
    setter.join();
    depositing.join();
    reading.join();
    auditing.join();
}
