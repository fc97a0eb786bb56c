// libFuzzer target for the job-file reader: any bytes as the job file, read and checked by a
// cleaner as the program builds it; the same bytes, taken as UTF-16 code units (unpaired
// surrogates and all), as one line for the line parser. The cleaner never runs: nothing is
// swept and nothing deleted, whatever root folders the input names. Console messages go to
// /dev/null; sanitizer reports still reach the real standard error.
#include "fegwerk.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sanitizer/common_interface_defs.h>
#include <unistd.h>

namespace
{
int standardError = -1;
int nullDevice = -1;
QString jobFilePath;
QString logFilePath;

bool writeJobFile(const uint8_t *data, size_t size)
{
    const int handle = ::open(QFile::encodeName(jobFilePath).constData(),
                              O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (handle < 0)
        return false;
    size_t written = 0;
    while (written < size) {
        const ssize_t n = ::write(handle, data + written, size - written);
        if (n <= 0)
            break;
        written += size_t(n);
    }
    ::close(handle);
    return written == size;
}

// What reading and checking guarantee of every job the cleaner keeps.
void checkKeptJobs(const Fegwerk &cleaner)
{
    for (const Job &job : cleaner.jobList()) {
        if (job.rootFolder.isEmpty() || job.rootFolder.endsWith(QLatin1Char('\\')) ||
            job.rootFolder.contains(QLatin1Char('\t')) || job.rootFolder.contains(QChar(0)) ||
            !job.extensions || job.extensions->isEmpty() || job.retentionDays < 1 ||
            job.retentionDays > 365)
            std::abort();
    }
}

// Console output of the cleaner goes to /dev/null while it lives.
struct Quiet {
    Quiet() { ::dup2(nullDevice, 2); }
    ~Quiet() { ::dup2(standardError, 2); }
};
} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    // As the program does: the application object sets the locale the job file is decoded in.
    static QCoreApplication application(*argc, *argv);
    // The folder for the job file: the one the caller names, else a new one, in memory where
    // there is a tmpfs (creating a file on a disk file system costs more than reading it).
    QByteArray folder = qgetenv("KEHRLUND_FUZZ_FOLDER");
    if (folder.isEmpty()) {
        char inMemory[] = "/dev/shm/kehrlund-fuzz-XXXXXX";
        char onDisk[] = "/tmp/kehrlund-fuzz-XXXXXX";
        const char *made = ::mkdtemp(inMemory);
        if (!made)
            made = ::mkdtemp(onDisk);
        if (!made)
            std::abort();
        folder = made;
    }
    jobFilePath = QString::fromLocal8Bit(folder) + QStringLiteral("/eingabe_kehrlund.txt");
    logFilePath = QString::fromLocal8Bit(folder) + QStringLiteral("/log_kehrlund.txt");
    standardError = ::fcntl(2, F_DUPFD_CLOEXEC, 3);
    nullDevice = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (standardError < 0 || nullDevice < 0)
        std::abort();
    // The job file (and the folder, if it is empty then) go when the fuzzer ends normally.
    static const struct Cleanup {
        ~Cleanup()
        {
            ::unlink(QFile::encodeName(jobFilePath).constData());
            ::rmdir(QFile::encodeName(QFileInfo(jobFilePath).path()).constData());
        }
    } cleanup;
    __sanitizer_set_report_fd(reinterpret_cast<void *>(intptr_t(standardError)));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (!writeJobFile(data, size))
        std::abort();
    const Quiet quiet;
    Fegwerk cleaner(jobFilePath, logFilePath); // reads the file and checks every job
    checkKeptJobs(cleaner);

    QString line(int(size / 2), Qt::Uninitialized);
    std::memcpy(line.data(), data, size / 2 * 2);
    const int before = cleaner.jobList().size();
    cleaner.parseJobLine(line);
    // A line with exactly two tabs always makes a job, any other line none.
    const int expected = before + (line.count(QLatin1Char('\t')) == 2 ? 1 : 0);
    if (cleaner.jobList().size() != expected)
        std::abort();
    if (cleaner.jobList().size() > before) {
        const Job &job = cleaner.jobList().last();
        cleaner.validateJob(job.rootFolder, job.extensions.data(), job.retentionDays);
    }
    return 0;
}
