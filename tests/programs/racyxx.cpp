// Data races in C++: a flag handed over as a plain bool, with the data it
// guards; a std::thread that only reads a member that main goes on writing.
#include <chrono>
#include <cstdio>
#include <thread>

struct Gauge {
    int level = 0;
    int peak = 0;
};

Gauge gauge;
bool ready = false;
int payload = 0;

void consume()
{
    while (!ready) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::printf("payload %d\n", payload);
}

void watch()
{
    std::printf("peak %d\n", gauge.peak);
}

int main()
{
    std::thread consumer(consume);
    std::thread watcher(watch);
    payload = 42;
    ready = true;
    gauge.peak = 9;
    consumer.join();
    watcher.join();
}
