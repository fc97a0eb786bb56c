/* What both floors share: reading their list, and writing one log line in one write(). */
#ifndef KEHRLUND_BENCH_LISTIO_H
#define KEHRLUND_BENCH_LISTIO_H

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

/* Reads the whole file into memory; returns NULL on failure. */
static char *read_all(const char *path, size_t *size)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return NULL;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        close(fd);
        return NULL;
    }
    size_t capacity = (size_t)st.st_size + 1;
    char *buffer = malloc(capacity);
    size_t length = 0;
    while (buffer) {
        if (length == capacity) {
            capacity *= 2;
            char *bigger = realloc(buffer, capacity);
            if (!bigger) {
                free(buffer);
                buffer = NULL;
                break;
            }
            buffer = bigger;
        }
        ssize_t n = read(fd, buffer + length, capacity - length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            free(buffer);
            buffer = NULL;
            break;
        }
        if (n == 0)
            break;
        length += (size_t)n;
    }
    close(fd);
    *size = length;
    return buffer;
}

/* Writes the whole line with one write() (more only if the system writes less at once). */
static int write_line(int fd, const char *line, size_t length)
{
    while (length > 0) {
        ssize_t n = write(fd, line, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        line += n;
        length -= (size_t)n;
    }
    return 0;
}

#endif
