// Objects that have no name of their own in memory are named as the source
// names them: a latch local to the function that waits on it (another
// function's latch never comes into being), a future taken from a promise,
// and a join of a std::thread moved away, which throws.
#include <cstdio>
#include <future>
#include <latch>
#include <system_error>
#include <thread>

void unused()
{
    std::latch allReady(1);
    allReady.wait();
}

void gather()
{
    std::latch allDone(2);
    std::thread a([&] { allDone.count_down(); }), b([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        allDone.count_down();
    });
    allDone.wait();
    a.join();
    b.join();
}

int main(int argc, char **)
{
    if (argc > 5) {
        unused();
    }
    gather();
    std::promise<int> prom;
    auto ft = prom.get_future();
    std::thread setter([&prom] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        prom.set_value(7);
    });
    std::printf("got %d\n", ft.get());
    std::thread foo([] { std::puts("foo ran"); });
    std::thread tx = std::move(foo);
    tx.join();
    try {
        foo.join();
    } catch (const std::system_error &) {
        std::puts("joining a moved-from thread throws");
    }
    setter.join();
}
