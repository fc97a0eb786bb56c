#include "system/stopsignals.h"

#include <QtGlobal>

#include <atomic>
#include <csignal>

#ifdef Q_OS_UNIX
#include <sys/time.h>
#endif
#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace
{
// Set by the handler, read by the run between its steps.
std::atomic<int> requestedBy{0};
static_assert(std::atomic<int>::is_always_lock_free, "the handler must not wait for a lock");

const int stopSignals[] = {
    SIGTERM,
    SIGINT,
#ifdef SIGHUP
    SIGHUP,
#endif
};
constexpr int stopSignalCount = int(sizeof stopSignals / sizeof stopSignals[0]);

#ifdef Q_OS_UNIX
// The handlers do not restart what they interrupt: a write to a console that blocks returns, and
// the console gives it up (consolemessage.cpp). A stop that comes just before such a write begins
// cannot interrupt it, so from the stop on a timer interrupts the main thread ten times a second;
// the writes to files and the removals are not interrupted by signals.
const struct itimerval everyTenthOfASecond = {{0, 100000}, {0, 100000}};
const struct itimerval never = {{0, 0}, {0, 0}};

struct sigaction earlier[stopSignalCount];
struct sigaction earlierAlarm;

void requestStop(int signal)
{
    int none = 0;
    if (requestedBy.compare_exchange_strong(none, signal))
        ::setitimer(ITIMER_REAL, &everyTenthOfASecond, nullptr);
}

void interrupt(int) {}

// The stop signals and the timer's: held back while a handler runs.
void fillHeldBack(sigset_t &set)
{
    sigemptyset(&set);
    for (const int stop : stopSignals)
        sigaddset(&set, stop);
    sigaddset(&set, SIGALRM);
}

void install(int signal, void (*handler)(int), struct sigaction *before)
{
    struct sigaction action = {};
    action.sa_handler = handler;
    fillHeldBack(action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART
    ::sigaction(signal, &action, before);
}
#else
using Handler = void (*)(int);
Handler earlier[stopSignalCount] = {};

void requestStop(int signal)
{
    requestedBy = signal;
}
#endif

#ifdef Q_OS_WIN
HANDLE runEnded = nullptr; // set once the run has closed its block

// Ctrl+C and Ctrl+Break ask for a stop. Closing the console window (or logging off, shutting down)
// does too, but the system ends the program as soon as this returns: it waits for the run to close
// its block first, for a little less than the time the system grants.
BOOL WINAPI consoleEvent(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        requestStop(SIGINT);
        return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        requestStop(SIGTERM);
        if (runEnded)
            ::WaitForSingleObject(runEnded, 4500);
        return TRUE;
    default:
        return FALSE;
    }
}
#endif
} // namespace

// A signal the caller chose to ignore (SIGHUP under nohup, SIGINT for a job started in the
// background) stays ignored.
void catchStopSignals()
{
#ifdef Q_OS_UNIX
    for (int i = 0; i < stopSignalCount; ++i) {
        install(stopSignals[i], requestStop, &earlier[i]);
        if (earlier[i].sa_handler == SIG_IGN)
            ::sigaction(stopSignals[i], &earlier[i], nullptr);
    }
    install(SIGALRM, interrupt, &earlierAlarm);
    std::signal(SIGPIPE, SIG_IGN);
    // Another program that opens a file while the run holds a lease on it, right before removing
    // it, makes the system tell the run so by SIGIO, which would end it; the lease goes a moment
    // later anyway.
    std::signal(SIGIO, SIG_IGN);
    // A log that reaches the file-size limit: the write fails (and the run stops with Fehler 004)
    // instead of the system ending the program between a removal and its entry.
    std::signal(SIGXFSZ, SIG_IGN);
#else
    for (int i = 0; i < stopSignalCount; ++i) {
        earlier[i] = std::signal(stopSignals[i], requestStop);
        if (earlier[i] == SIG_IGN)
            std::signal(stopSignals[i], SIG_IGN);
    }
#endif
#ifdef Q_OS_WIN
    runEnded = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ::SetConsoleCtrlHandler(consoleEvent, TRUE);
#endif
}

bool stopRequested()
{
    return requestedBy != 0;
}

void endIfStopRequested()
{
#ifdef Q_OS_UNIX
    ::setitimer(ITIMER_REAL, &never, nullptr);
    for (int i = 0; i < stopSignalCount; ++i)
        ::sigaction(stopSignals[i], &earlier[i], nullptr);
    ::sigaction(SIGALRM, &earlierAlarm, nullptr);
#else
    for (int i = 0; i < stopSignalCount; ++i)
        std::signal(stopSignals[i], earlier[i] == SIG_ERR ? SIG_DFL : earlier[i]);
#endif
    const int signal = requestedBy;
#ifdef Q_OS_WIN
    if (runEnded)
        ::SetEvent(runEnded);
#endif
    if (signal != 0) {
        std::signal(signal, SIG_DFL);
        std::raise(signal);
    }
}
