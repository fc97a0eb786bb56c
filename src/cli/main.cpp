#include "cli/options.h"
#include "fegwerk.h"
#include "report/consolemessage.h"
#include "report/runreport.h"
#include "system/stopsignals.h"

#include <QCoreApplication>

#include <csignal>
#include <cstdio>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace
{
// Started with one of them closed (`kehrlund <&- 2>&-`), the next file opened would take its
// number: the run log would become standard error and take the console's lines. Each closed one
// is opened on the null device first (the lowest free number, as those below it are open).
void openClosedStandardStreams()
{
#ifdef Q_OS_UNIX
    for (int stream = STDIN_FILENO; stream <= STDERR_FILENO; ++stream) {
        if (::fcntl(stream, F_GETFD) >= 0 || errno != EBADF)
            continue;
        const int opened = ::open("/dev/null", O_RDWR);
        if (opened >= 0 && opened != stream)
            ::close(opened);
    }
#endif
}

void ignoreSignalsThatWouldEndTheRun()
{
#ifdef Q_OS_UNIX
    // Writes to a console whose reader has gone fail instead of ending the program: a console
    // that nobody reads is no reason to stop deleting or recording.
    std::signal(SIGPIPE, SIG_IGN);
    // A lease on a file about to go is broken by SIGIO when another program opens the file; the
    // lease goes a moment later anyway. (A walk that watches for moves catches it for its reports.)
    std::signal(SIGIO, SIG_IGN);
    // A log that reaches the file-size limit: the write fails (and the run stops with Fehler 004)
    // instead of the system ending the program between a removal and its entry.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
}

void print(std::FILE *stream, const QString &text)
{
    std::fputs(localText(text).constData(), stream);
    std::fflush(stream);
}
} // namespace

int main(int argc, char *argv[])
{
    openClosedStandardStreams();
    // Read from argv itself, before Qt sees it: QCoreApplication takes some arguments away for
    // itself (-qmljsdebugger and the one after it), which could hide a mistyped option or --help.
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const Options options = readOptions(arguments);
    QCoreApplication application(argc, argv);
    switch (options.action) {
    case Options::Action::ShowHelp:
        print(stdout, usage());
        return 0;
    case Options::Action::ShowVersion:
        print(stdout, QStringLiteral("kehrlund " KEHRLUND_VERSION "\n"));
        return 0;
    case Options::Action::Refuse:
        print(stderr,
              QStringLiteral("kehrlund: unbekannte Option \"%1\"\n\n").arg(options.unknownOption) +
                  usage());
        return 2;
    case Options::Action::Run:
        break;
    }

    ignoreSignalsThatWouldEndTheRun();
    catchStopSignals();
    {
        Fegwerk cleaner(QStringLiteral("eingabe_kehrlund.txt"), QStringLiteral("log_kehrlund.txt"));
        cleaner.setDryRun(options.dryRun);
        cleaner.setVerbose(options.verbose);
        cleaner.run();
    }
    if (options.dryRun)
        RunReport::dryRunDone();
    flushConsole();
    endIfStopRequested();
    RunReport::prompt();
    std::getchar();
    return 0;
}
