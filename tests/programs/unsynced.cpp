// With sync_with_stdio(false), std::cout and std::clog keep buffers of
// their own: a thread's line to std::clog waits there until main flushes
// it, and one to std::cout until the program exits.
#include <iostream>
#include <thread>

int main()
{
    std::ios::sync_with_stdio(false);
    std::thread writer([] {
        std::clog << "logged by the writer\n";
        std::cout << "kept by the writer until the exit\n";
    });
    writer.join();
    std::cout << "main writes\n";
    std::clog.flush();
    std::cerr << "main's error\n";
}
