// Only sleeps, for ever.
#include <unistd.h>

static const unsigned napSeconds = 10;

int main(void)
{
    for (;;) {
        sleep(napSeconds);
    }
}
