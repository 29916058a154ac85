#include "protocols/answer.h"

#include <ctime>

#include "platform/loop.h"
#include "serial/comms.h"

int ReadAnswer(int index, uint8_t *buffer, int want, uint32_t waitMs)
{
    if (!CommIsOpen(index))
        return 0;
    uint32_t start = GetTickCount();
    int got = 0;
    for (;;) {
        int n = CommRead(index, buffer + got, want - got);
        if (n > 0)
            got += n;
        if (got >= want || n < 0 || GetTickCount() - start >= waitMs)
            return got;
        timespec step{0, 1000000};
        nanosleep(&step, nullptr);
    }
}

void DiscardLate(int index)
{
    uint8_t junk[256];
    for (int total = 0; total < kRingSize;) {
        int n = CommRead(index, junk, sizeof junk);
        if (n <= 0)
            return;
        total += n;
    }
}

void ClearLineErrors(int index)
{
    COMSTAT status;
    CommGetStatus(index, &status);
}
