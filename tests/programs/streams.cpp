// Lines that C++'s streams hand over in several ways: through
// std::osyncstream, which writes each line whole when it ends, and through
// std::cout with a std::string, which writes piece by piece; two threads
// write at once, so only the bytes each handed over tell their lines apart.
#include <iostream>
#include <string>
#include <syncstream>
#include <thread>

constexpr int lines = 20;

void foo()
{
    for (int i = 0; i < lines; i++) {
        std::osyncstream{std::cout} << "foo() " << i << "\n";
    }
}

void bar()
{
    for (int i = 0; i < lines; i++) {
        std::osyncstream{std::cout} << "bar() " << i << "\n";
    }
}

void greet(std::string name)
{
    for (int i = 0; i < lines; i++) {
        std::cout << name << " says hello\n";
    }
}

int main()
{
    std::thread first(foo), second(bar);
    first.join();
    second.join();
    std::thread alice(greet, std::string("alice")), bob(greet, std::string("bob"));
    alice.join();
    bob.join();
}
