// Swaps two entries of one folder over and over with renameat2(RENAME_EXCHANGE), as fast as the
// system allows, until it gets SIGTERM or SIGINT (or its parent dies). Then it prints the number
// of exchanges made on standard output; on SIGUSR1 it prints the number made so far, one line
// each time.
//
//     kehrlund_exchanger FOLDER NAME_A NAME_B
//
// The swap is atomic: at every moment one of the two names is the real folder and the other the
// symbolic link, and a walk by path that looks at a name twice can see two different things.
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace
{
volatile std::sig_atomic_t stopRequested = 0;
volatile std::sig_atomic_t countRequested = 0;

void requestStop(int)
{
    stopRequested = 1;
}

void requestCount(int)
{
    countRequested = 1;
}

int exchange(int folder, const char *a, const char *b)
{
    return int(::syscall(SYS_renameat2, folder, a, folder, b, RENAME_EXCHANGE));
}
} // namespace

int main(int argc, char *argv[])
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s FOLDER NAME_A NAME_B\n", argv[0]);
        return 2;
    }
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    struct sigaction action = {};
    action.sa_handler = requestStop;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
    action.sa_handler = requestCount;
    ::sigaction(SIGUSR1, &action, nullptr);

    const int folder = ::open(argv[1], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) {
        std::perror(argv[1]);
        return 2;
    }
    if (exchange(folder, argv[2], argv[3]) != 0) {
        std::perror("renameat2");
        return 2;
    }
    // Tell the caller that the swapping has begun.
    std::printf("started\n");
    std::fflush(stdout);
    unsigned long long count = 1;
    while (!stopRequested) {
        if (countRequested) {
            countRequested = 0;
            std::printf("%llu\n", count);
            std::fflush(stdout);
        }
        if (exchange(folder, argv[2], argv[3]) != 0) {
            std::perror("renameat2");
            return 2;
        }
        ++count;
    }
    std::printf("%llu\n", count);
    return 0;
}
