// Why a system call failed, where the answer changes what the program does.
#ifndef KEHRLUND_LACKOFRESOURCES_H
#define KEHRLUND_LACKOFRESOURCES_H

#include <array>
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
// back right before such a message is made, so that it can be, and kept again after it. It is
// kept in pieces of the size the heap serves itself: given back, they serve the message's small
// requests where they lie, and are taken again from there. One large block would come from the
// system, and once given back, the heap could grow into its room for the message and leave none
// to keep it again. Short of memory, as many pieces are kept as can be had.
inline std::array<std::unique_ptr<char[]>, 64> &memoryReserve()
{
    static std::array<std::unique_ptr<char[]>, 64> reserve;
    return reserve;
}

inline void keepMemoryReserve()
{
    for (std::unique_ptr<char[]> &piece : memoryReserve()) {
        if (!piece)
            piece.reset(new (std::nothrow) char[4096]);
    }
}

inline void spendMemoryReserve()
{
    for (std::unique_ptr<char[]> &piece : memoryReserve())
        piece.reset();
}

#endif
