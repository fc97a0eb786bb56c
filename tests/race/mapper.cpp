// Maps a file into memory, closes its descriptor and keeps the mapping until it is killed, as a
// program does that reads a file through a mapping:
//
//     kehrlund_mapper FILE
//
// It prints "mapped" once the descriptor is closed. The file is then in use with no descriptor
// open on it anywhere.
#include <cstdio>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

int main(int argc, char *argv[])
{
    if (argc != 2)
        return 2;
    const int file = ::open(argv[1], O_RDONLY | O_CLOEXEC);
    if (file < 0)
        return 1;
    void *mapped = ::mmap(nullptr, 1, PROT_READ, MAP_SHARED, file, 0);
    ::close(file);
    if (mapped == MAP_FAILED)
        return 1;
    std::puts("mapped");
    std::fflush(stdout);
    for (;;)
        ::pause();
}
