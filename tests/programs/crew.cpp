// A crew of threads kept in a vector that grows as each is added: the
// std::thread objects move as the vector grows, and are joined where they
// ended up.
#include <iostream>
#include <mutex>
#include <thread>
#include <vector>

static const int crewSize = 5;
static std::mutex screen;

static void member(int number)
{
    std::lock_guard<std::mutex> hold(screen);
    std::cout << "member " << number << " reporting\n";
}

int main()
{
    std::vector<std::thread> crew;
    for (int i = 1; i <= crewSize; ++i) {
        crew.emplace_back(member, i);
    }
    for (auto &thread : crew) {
        thread.join();
    }
    std::cout << "all " << crewSize << " reported" << std::endl;
}
