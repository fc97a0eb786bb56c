#include "stopsignals.h"

#include <csignal>

namespace
{
volatile std::sig_atomic_t requestedBy = 0;

void requestStop(int signal)
{
    requestedBy = signal;
}

// The C library's signal() restarts interrupted system calls on the systems this is built for,
// so a signal cannot make a folder listing or a removal fail half-way.
const int stopSignals[] = {
    SIGTERM,
    SIGINT,
#ifdef SIGHUP
    SIGHUP,
#endif
};
} // namespace

void catchStopSignals()
{
    for (const int signal : stopSignals)
        std::signal(signal, requestStop);
#ifdef SIGPIPE
    std::signal(SIGPIPE, SIG_IGN);
#endif
}

bool stopRequested()
{
    return requestedBy != 0;
}

void endIfStopRequested()
{
    for (const int signal : stopSignals)
        std::signal(signal, SIG_DFL);
    if (requestedBy != 0)
        std::raise(requestedBy);
}
