// A thread throws an exception that nothing catches: std::terminate aborts
// the whole program while main waits in the join.
#include <cstdio>
#include <stdexcept>
#include <thread>

void failing()
{
    std::puts("about to throw");
    throw std::runtime_error("nobody catches this");
}

int main()
{
    std::thread worker(failing);
    worker.join();
    std::puts("not reached");
}
