/* The promise floor of a clean: the least a program can do that removes a given list of files and
 * keeps the program's promises for each: the file removed is the one judged (its identity read by
 * its name, then checked on the file opened), no other program holds it open at that moment (a
 * write lease, which the system grants only to the one handle open on the file), and every
 * removal is recorded in a log. It reads no times, matches no names and walks no folders: the
 * list (one path per line, the files of a folder one after another) is made beforehand, untimed.
 *
 * Each folder is opened once, when its first path comes (O_RDONLY | O_DIRECTORY | O_NOFOLLOW), and
 * each file, by its name relative to that folder's handle, takes exactly seven system calls:
 *
 *   1. statx (not following a link): the status read, a regular file and its identity;
 *   2. openat (O_RDONLY | O_NONBLOCK | O_NOFOLLOW): the file opened;
 *   3. fstat of the opened file: the identity check, the same device and inode as the status read;
 *   4. fcntl(F_SETLEASE, F_WRLCK): the write lease, refused while anyone else holds the file open;
 *   5. unlinkat;
 *   6. close (which gives the lease up);
 *   7. one write() of the path and a newline to LOG (opened with O_APPEND).
 *
 * A file that fails a step is reported on standard error and neither removed (when the step came
 * before the removal) nor logged.
 *
 * Usage: promisefloor LIST LOG
 * Exit status 0 when every path was removed and logged, 1 when any failed, 2 on a usage error or
 * when LIST cannot be read.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "listio.h"

/* Steps 1 to 6 for the file NAME of the folder open as DIR: 0 when it was removed, else -1 with
 * the step that failed in *step (errno set, or 0 when the file is not the one whose status was
 * read, or no regular file). */
static int remove_promised(int dir, const char *name, const char **step)
{
    struct statx judged;
    *step = "read the status of";
    if (statx(dir, name, AT_SYMLINK_NOFOLLOW, STATX_TYPE | STATX_INO | STATX_BTIME, &judged) != 0)
        return -1;
    if (!S_ISREG(judged.stx_mode)) {
        errno = 0;
        return -1;
    }
    *step = "open";
    int fd = openat(dir, name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat opened;
    int result = -1;
    *step = "check the identity of";
    if (fstat(fd, &opened) != 0)
        goto done;
    if (opened.st_dev != makedev(judged.stx_dev_major, judged.stx_dev_minor) ||
        opened.st_ino != judged.stx_ino || !S_ISREG(opened.st_mode)) {
        errno = 0;
        goto done;
    }
    *step = "take the write lease of";
    if (fcntl(fd, F_SETLEASE, F_WRLCK) != 0)
        goto done;
    *step = "remove";
    if (unlinkat(dir, name, 0) != 0)
        goto done;
    result = 0;
done:;
    int error = errno;
    if (close(fd) != 0 && result == 0) {
        *step = "close";
        return -1;
    }
    errno = error;
    return result;
}

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: promisefloor LIST LOG\n");
        return 2;
    }
    size_t size;
    char *list = read_all(argv[1], &size);
    if (!list) {
        fprintf(stderr, "promisefloor: cannot read %s: %s\n", argv[1], strerror(errno));
        return 2;
    }
    int log = open(argv[2], O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (log < 0) {
        fprintf(stderr, "promisefloor: cannot open %s: %s\n", argv[2], strerror(errno));
        return 2;
    }
    int failed = 0;
    /* The folder open now: its handle, and its path as the list spells it (a part of the list). */
    int dir = -1, dir_error = 0;
    const char *dir_path = NULL;
    size_t dir_length = 0;
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
            /* The path ends where its newline was; the newline comes back for the log line, so
             * that path and newline go in one write() without a copy. */
            *newline = '\0';
            char *slash = strrchr(line, '/');
            const char *name = slash ? slash + 1 : line;
            /* The folder's path: up to the last slash ("/" for a file in the root, "." for a
             * name without a folder). */
            const char *folder = slash == line ? "/" : slash ? line : ".";
            size_t folder_length = slash == line ? 1 : slash ? (size_t)(slash - line) : 1;
            if (dir < 0 || folder_length != dir_length ||
                memcmp(folder, dir_path, folder_length) != 0) {
                if (dir >= 0)
                    close(dir);
                if (slash && slash != line)
                    *slash = '\0';
                dir = open(folder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                dir_error = errno;
                if (slash && slash != line)
                    *slash = '/';
                dir_path = folder;
                dir_length = folder_length;
            }
            const char *step = "open the folder of";
            errno = dir_error;
            if (dir < 0 || remove_promised(dir, name, &step) != 0) {
                fprintf(stderr, "promisefloor: cannot %s %s: %s\n", step, line,
                        errno ? strerror(errno)
                              : "not a regular file, or not the one whose status was read");
                failed = 1;
            } else {
                *newline = '\n';
                if (write_line(log, line, length + 1) != 0) {
                    fprintf(stderr, "promisefloor: cannot write to %s: %s\n", argv[2],
                            strerror(errno));
                    failed = 1;
                }
            }
            *newline = '\n';
        }
        line = newline + 1;
    }
    if (dir >= 0)
        close(dir);
    if (close(log) != 0) {
        fprintf(stderr, "promisefloor: cannot write to %s: %s\n", argv[2], strerror(errno));
        failed = 1;
    }
    free(list);
    return failed;
}
