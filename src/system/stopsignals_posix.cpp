// The stop signals on Unix: caught by sigaction without restarting what they interrupt, a timer
// that keeps interrupting the main thread once a stop was asked for, and on Linux the guard that
// ends a run a file system holds.
#include "system/stopsignals.h"
#include "system/stopsignals_shared.h"

#include <QtGlobal>

#include <chrono>
#include <csignal>
#include <system_error>
#include <thread>

#include <pthread.h>
#include <sys/time.h>
#include <unistd.h>

using stopsignals::requestedBy;

namespace
{
const int stopSignals[] = {SIGTERM, SIGINT, SIGHUP};
constexpr int stopSignalCount = int(sizeof stopSignals / sizeof stopSignals[0]);

// The timer's handler does not restart what it interrupts: a write to a console that blocks
// returns, and the console gives it up (consolemessage.cpp). From a stop on, the timer interrupts
// the main thread ten times a second; the writes to files and the removals are made again.
const struct itimerval everyTenthOfASecond = {{0, 100000}, {0, 100000}};
const struct itimerval never = {{0, 0}, {0, 0}};

struct sigaction earlier[stopSignalCount];
struct sigaction earlierAlarm;
sigset_t caught; // the stop signals not ignored

void requestStop(int signal)
{
    int none = 0;
    if (requestedBy.compare_exchange_strong(none, signal))
        ::setitimer(ITIMER_REAL, &everyTenthOfASecond, nullptr);
}

#ifdef Q_OS_LINUX
[[noreturn]] void endBy(int signal)
{
    std::signal(signal, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    ::pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    std::raise(signal);
    for (;;)
        ::pause();
}

// A stop is seen by the handler in the main thread, or, where that thread waits in a system call
// that only a fatal signal breaks (a file system that does not answer) and its handler cannot
// run, still pending: the guard takes it up then, looking ten times a second.
void waitForStop()
{
    const struct timespec tenth = {0, 100000000};
    while (requestedBy == 0) {
        const int signal = ::sigtimedwait(&caught, nullptr, &tenth);
        if (signal > 0)
            requestStop(signal);
    }
}

// The loop answers a stop between two files, within milliseconds; one still at work half a
// second later is held by the system. The guard then takes the turn and keeps it, so that nothing
// is removed or recorded after the last word, says it, and ends the program by the signal, which
// ends the main thread's wait too.
void guardUntilStopped()
{
    waitForStop();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    stopsignals::sayLastWordForTheRun();
    endBy(requestedBy);
}

// The guard takes no signal but the stops it looks for: the others go to the main thread, whose
// waits they must interrupt.
void startGuard()
{
    sigset_t all;
    sigset_t before;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &before);
    try {
        std::thread(guardUntilStopped).detach();
    } catch (const std::system_error &) {
        // No thread to spare: the loop alone answers a stop.
    }
    ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
}
#else
void startGuard() {}
#endif

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
} // namespace

// A signal the caller chose to ignore (SIGHUP under nohup, SIGINT for a job started in the
// background) stays ignored.
void catchStopSignals()
{
    sigemptyset(&caught);
    for (int i = 0; i < stopSignalCount; ++i) {
        install(stopSignals[i], requestStop, &earlier[i]);
        if (earlier[i].sa_handler == SIG_IGN)
            ::sigaction(stopSignals[i], &earlier[i], nullptr);
        else
            sigaddset(&caught, stopSignals[i]);
    }
    install(SIGALRM, interrupt, &earlierAlarm);
    startGuard();
}

void endIfStopRequested()
{
    ::setitimer(ITIMER_REAL, &never, nullptr);
    for (int i = 0; i < stopSignalCount; ++i)
        ::sigaction(stopSignals[i], &earlier[i], nullptr);
    ::sigaction(SIGALRM, &earlierAlarm, nullptr);
    stopsignals::endAsAsked(requestedBy);
}
