// C++20's waits: four workers share two places under a counting semaphore
// and count a latch down as they finish, which main waits on; two threads
// running one lambda meet at a barrier twice.
#include <barrier>
#include <chrono>
#include <cstdio>
#include <latch>
#include <semaphore>
#include <thread>

constexpr int workers = 4;
constexpr auto workTime = std::chrono::milliseconds(1000);

std::counting_semaphore<2> places(2);
std::latch done(workers);
std::barrier phase(2);

void worker(int id)
{
    places.acquire();
    std::this_thread::sleep_for(workTime);
    std::printf("worker %d worked\n", id);
    places.release();
    done.count_down();
}

int main()
{
    auto meet = [](int milliseconds) {
        for (int round = 1; round <= 2; round++) {
            std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
            phase.arrive_and_wait();
        }
    };
    std::jthread early(meet, 100);
    std::jthread late(meet, 1000);
    std::jthread team[workers] = {std::jthread(worker, 1), std::jthread(worker, 2),
                                  std::jthread(worker, 3), std::jthread(worker, 4)};
    done.wait();
    std::puts("all workers done");
}
