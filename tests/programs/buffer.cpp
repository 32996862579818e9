// A bounded buffer of two places, shared by a producer and two consumers
// under one mutex and two condition variables, all members of a Buffer that
// main owns: the producer waits on notFull while the buffer is full, a
// consumer on notEmpty while it is empty.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <iostream>
#include <mutex>
#include <thread>

constexpr int capacity = 2;
constexpr int items = 8;
constexpr int consumers = 2;
// The consumers are waiting by the time the first item comes.
constexpr auto openingTime = std::chrono::milliseconds(500);
constexpr auto produceTime = std::chrono::milliseconds(50);
constexpr auto consumeTime = std::chrono::milliseconds(250);

struct Buffer {
    std::mutex m;
    std::condition_variable notFull;
    std::condition_variable notEmpty;
    int slots[capacity] = {};
    int count = 0;
    int in = 0;
    int out = 0;
};

void producer(Buffer &buffer)
{
    std::this_thread::sleep_for(openingTime);
    for (int item = 1; item <= items; item++) {
        std::this_thread::sleep_for(produceTime);
        std::unique_lock<std::mutex> lock(buffer.m);
        buffer.notFull.wait(lock, [&buffer] { return buffer.count < capacity; });
        buffer.slots[buffer.in] = item;
        buffer.in = (buffer.in + 1) % capacity;
        buffer.count++;
        std::cout << "produced " << item << std::endl;
        buffer.notEmpty.notify_one();
    }
}

void consumer(Buffer &buffer, int id)
{
    for (int taken = 0; taken < items / consumers; taken++) {
        {
            std::unique_lock<std::mutex> lock(buffer.m);
            buffer.notEmpty.wait(lock, [&buffer] { return buffer.count > 0; });
            const int item = buffer.slots[buffer.out];
            buffer.out = (buffer.out + 1) % capacity;
            buffer.count--;
            std::cout << "consumer " << id << " took " << item << '\n';
            buffer.notFull.notify_one();
        }
        std::this_thread::sleep_for(consumeTime);
    }
}

int main()
{
    Buffer buffer;
    std::thread producing(producer, std::ref(buffer));
    std::thread first(consumer, std::ref(buffer), 1);
    std::thread second(consumer, std::ref(buffer), 2);
    producing.join();
    first.join();
    second.join();
    std::cout << "done\n";
}
