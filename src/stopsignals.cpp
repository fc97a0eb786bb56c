#include "stopsignals.h"

#include <atomic>
#include <csignal>

namespace
{
// Set by the handler in whichever thread the signal meets, read by all.
std::atomic<int> requestedBy{0};
static_assert(std::atomic<int>::is_always_lock_free, "the handler must not wait for a lock");

using Handler = void (*)(int);

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
constexpr int stopSignalCount = int(sizeof stopSignals / sizeof stopSignals[0]);
Handler earlier[stopSignalCount] = {};
} // namespace

// A signal the caller chose to ignore (SIGHUP under nohup, SIGINT for a job started in the
// background) stays ignored.
void catchStopSignals()
{
    for (int i = 0; i < stopSignalCount; ++i) {
        earlier[i] = std::signal(stopSignals[i], requestStop);
        if (earlier[i] == SIG_IGN)
            std::signal(stopSignals[i], SIG_IGN);
    }
#ifdef SIGPIPE
    std::signal(SIGPIPE, SIG_IGN);
#endif
#ifdef SIGXFSZ
    // A log that reaches the file-size limit: the write fails (and the run stops with Fehler 004)
    // instead of the system ending the program between a removal and its entry.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
}

bool stopRequested()
{
    return requestedBy != 0;
}

void endIfStopRequested()
{
    for (int i = 0; i < stopSignalCount; ++i)
        std::signal(stopSignals[i], earlier[i] == SIG_ERR ? SIG_DFL : earlier[i]);
    const int signal = requestedBy;
    if (signal != 0) {
        std::signal(signal, SIG_DFL);
        std::raise(signal);
    }
}
