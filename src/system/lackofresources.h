// Why a system call failed, where the answer changes what the program does.
#ifndef KEHRLUND_LACKOFRESOURCES_H
#define KEHRLUND_LACKOFRESOURCES_H

#include <cerrno>

// The system had no descriptor or memory to spare: the entry is not at fault, and what could not
// be done is reported rather than passed over as unreadable.
inline bool isLackOfResources(int error)
{
    return error == EMFILE || error == ENFILE || error == ENOMEM;
}

#endif
