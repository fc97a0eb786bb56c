#include "system/stopsignals_shared.h"

#include <csignal>
#include <iterator>

#include <windows.h>

using namespace StopState;

namespace
{
const int stopSignals[] = {SIGTERM, SIGINT};
void (*earlier[std::size(stopSignals)])(int) = {};
HANDLE runEnded = nullptr; // set once the run has closed its block

// Closing the console window (or logging off, shutting down) asks for a stop too, but the system
// ends the program as soon as this returns: it waits for the run to close its block first, for a
// little less than the time the system grants.
BOOL WINAPI consoleEvent(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        requestedBy = SIGINT;
        return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        requestedBy = SIGTERM;
        if (runEnded)
            ::WaitForSingleObject(runEnded, 4500);
        return TRUE;
    default:
        return FALSE;
    }
}
} // namespace

void catchStopSignals()
{
    for (size_t i = 0; i < std::size(stopSignals); ++i) {
        earlier[i] = std::signal(stopSignals[i], [](int signal) { requestedBy = signal; });
        if (earlier[i] == SIG_IGN)
            std::signal(stopSignals[i], SIG_IGN);
    }
    runEnded = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ::SetConsoleCtrlHandler(consoleEvent, TRUE);
}

void endIfStopRequested()
{
    for (size_t i = 0; i < std::size(stopSignals); ++i)
        std::signal(stopSignals[i], earlier[i] == SIG_ERR ? SIG_DFL : earlier[i]);
    const int signal = requestedBy;
    if (runEnded)
        ::SetEvent(runEnded);
    endAsAsked(signal);
}
