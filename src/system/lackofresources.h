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
// back right before such a message is made, and kept again after it (as many pieces as can be
// had). Pieces of the sizes the heap serves itself serve the message's requests where they lie and
// are taken again from there; one large block, once given back, could be grown into by the heap.
inline std::array<std::unique_ptr<char[]>, 64> memoryReserve;

inline void keepMemoryReserve()
{
    for (std::unique_ptr<char[]> &piece : memoryReserve) {
        if (!piece)
            piece.reset(new (std::nothrow) char[4096]);
    }
}

inline void spendMemoryReserve()
{
    for (std::unique_ptr<char[]> &piece : memoryReserve)
        piece.reset();
}

#endif
