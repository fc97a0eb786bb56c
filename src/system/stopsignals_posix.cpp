#include "system/stopsignals_shared.h"

#include <chrono>
#include <csignal>
#include <iterator>
#include <system_error>
#include <thread>

#include <pthread.h>
#include <sys/time.h>
#include <unistd.h>

using namespace StopState;

namespace
{
// The stop signals, then the timer's; the handlers found are put back before the prompt.
const int handled[] = {SIGTERM, SIGINT, SIGHUP, SIGALRM};
struct sigaction earlier[std::size(handled)];
sigset_t caught; // the stop signals not ignored

// From a stop on, the timer interrupts the main thread ten times a second: a blocked console write
// gives up (consolemessage.cpp), the writes to files and the removals are made again.
void requestStop(int signal)
{
    const struct itimerval everyTenthOfASecond = {{0, 100000}, {0, 100000}};
    int none = 0;
    if (requestedBy.compare_exchange_strong(none, signal))
        ::setitimer(ITIMER_REAL, &everyTenthOfASecond, nullptr);
}

void interrupt(int) {}

// A stop whose handler cannot run (the main thread waits in a call that only a fatal signal breaks)
// is still pending: the guard takes it up. A loop not done half a second later is held by the
// system: the guard says the last word and ends the program by the signal, and the call with it.
void guardUntilStopped()
{
    const struct timespec tenth = {0, 100000000};
    while (requestedBy == 0) {
        const int signal = ::sigtimedwait(&caught, nullptr, &tenth);
        if (signal > 0)
            requestStop(signal);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    turns.lock(); // for good: nothing is removed or recorded after the last word
    if (lastWordToSay)
        lastWordToSay();
    const int signal = requestedBy;
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    ::pthread_sigmask(SIG_UNBLOCK, &only, nullptr); // held back in this thread
    endAsAsked(signal);
    for (;;)
        ::pause();
}

} // namespace

void catchStopSignals()
{
    struct sigaction action = {}; // no SA_RESTART
    sigfillset(&action.sa_mask);  // no handler interrupts another
    sigemptyset(&caught);
    for (size_t i = 0; i < std::size(handled); ++i) {
        const bool stop = handled[i] != SIGALRM;
        action.sa_handler = stop ? requestStop : interrupt;
        ::sigaction(handled[i], &action, &earlier[i]);
        if (stop && earlier[i].sa_handler == SIG_IGN)
            ::sigaction(handled[i], &earlier[i], nullptr);
        else if (stop)
            sigaddset(&caught, handled[i]);
    }
    // The guard takes no signal but the stops it looks for: the others go to the main thread,
    // whose waits they must interrupt.
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

void endIfStopRequested()
{
    const struct itimerval never = {};
    ::setitimer(ITIMER_REAL, &never, nullptr);
    for (size_t i = 0; i < std::size(handled); ++i)
        ::sigaction(handled[i], &earlier[i], nullptr);
    endAsAsked(requestedBy);
}
