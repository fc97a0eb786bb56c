#include "standardstreams.h"

#include <QtGlobal>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#endif

void openClosedStandardStreams()
{
#ifdef Q_OS_UNIX
    for (int stream = STDIN_FILENO; stream <= STDERR_FILENO; ++stream) {
        if (::fcntl(stream, F_GETFD) >= 0 || errno != EBADF)
            continue;
        // The lowest free number is this one, as those below it are open.
        const int opened = ::open("/dev/null", O_RDWR);
        if (opened >= 0 && opened != stream)
            ::close(opened);
    }
#endif
}
