// Why a system call failed, where the answer changes what the program does.
#ifndef KEHRLUND_LACKOFRESOURCES_H
#define KEHRLUND_LACKOFRESOURCES_H

#include <cerrno>
#include <memory>
#include <new>

// The system had no descriptor or memory to spare: the entry is not at fault, and what could not
// be done is reported rather than passed over as unreadable.
inline bool isLackOfResources(int error)
{
    return error == EMFILE || error == ENFILE || error == ENOMEM;
}

// Memory kept back for the messages that name what could not be done for lack of memory: given
// back right before such a message is made, so that it can be, and kept again after it.
inline std::unique_ptr<char[]> &memoryReserve()
{
    static std::unique_ptr<char[]> reserve;
    return reserve;
}

inline void keepMemoryReserve()
{
    if (!memoryReserve())
        memoryReserve().reset(new (std::nothrow) char[256 * 1024]);
}

inline void spendMemoryReserve()
{
    memoryReserve().reset();
}

#endif
