/* The floor of a clean: the least a program can do that removes a given list of files and records
 * each removal in a log. For each path of LIST (one per line) it calls unlink(path) and then
 * appends the path as one line to LOG (opened with O_APPEND, one write() per line), in the order
 * of the list. It reads no status, matches no names and walks no folders: the list is made
 * beforehand, untimed.
 *
 * Usage: floor LIST LOG
 * Exit status 0 when every path was removed and logged, 1 when any failed (each failure is
 * reported on standard error), 2 on a usage error or when LIST cannot be read.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "listio.h"

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: floor LIST LOG\n");
        return 2;
    }
    size_t size;
    char *list = read_all(argv[1], &size);
    if (!list) {
        fprintf(stderr, "floor: cannot read %s: %s\n", argv[1], strerror(errno));
        return 2;
    }
    int log = open(argv[2], O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (log < 0) {
        fprintf(stderr, "floor: cannot open %s: %s\n", argv[2], strerror(errno));
        return 2;
    }
    int failed = 0;
    char *line = list;
    char *end = list + size;
    while (line < end) {
        char *newline = memchr(line, '\n', (size_t)(end - line));
        if (!newline) {
            /* A last line without its newline: the buffer has room for one. */
            newline = end;
            end++;
        }
        size_t length = (size_t)(newline - line);
        if (length > 0) {
            /* The path ends where its newline was, for unlink(); the newline comes back for the
             * log line, so that path and newline go in one write() without a copy. */
            *newline = '\0';
            if (unlink(line) != 0) {
                fprintf(stderr, "floor: cannot remove %s: %s\n", line, strerror(errno));
                failed = 1;
            }
            *newline = '\n';
            if (write_line(log, line, length + 1) != 0) {
                fprintf(stderr, "floor: cannot write to %s: %s\n", argv[2], strerror(errno));
                failed = 1;
            }
        }
        line = newline + 1;
    }
    if (close(log) != 0) {
        fprintf(stderr, "floor: cannot write to %s: %s\n", argv[2], strerror(errno));
        failed = 1;
    }
    free(list);
    return failed;
}
