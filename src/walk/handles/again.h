// What the walk by folder handles and its folder's operations share at the system's calls.
#ifndef KEHRLUND_AGAIN_H
#define KEHRLUND_AGAIN_H

#include <cerrno>

// Signals do not restart what they interrupt (the console's write must give up on a stop); a call
// that a signal interrupts is made again. -1 with errno, as the system answers.
template <typename Call> long again(Call call)
{
    long result;
    do
        result = call();
    while (result < 0 && errno == EINTR);
    return result;
}

#endif
