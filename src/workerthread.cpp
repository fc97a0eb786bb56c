#include "workerthread.h"

#include "stopsignals.h"

#include <exception>

bool startWorker(std::thread &thread, std::function<void()> work)
{
#ifdef KEHRLUND_WITHOUT_THREADS
    Q_UNUSED(thread)
    Q_UNUSED(work)
    return false;
#else
    const StopSignalsHeldBack heldBack;
    try {
        thread = std::thread(std::move(work));
        return true;
    } catch (const std::exception &) {
        return false;
    }
#endif
}
