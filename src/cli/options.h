#ifndef KEHRLUND_OPTIONS_H
#define KEHRLUND_OPTIONS_H

#include <QString>
#include <QStringList>

struct Options {
    enum class Action { Run, ShowHelp, ShowVersion, Refuse };
    Action action = Action::Run;
    bool dryRun = false;
    bool verbose = false;
    QString unknownOption; // with Refuse: the first argument not understood
};

// The arguments after the program's name; those not starting with "-" are ignored (Windows passes
// the path of a file dropped on the program). An option not understood refuses the whole command
// line, so that a mistyped option never starts a run.
Options readOptions(const QStringList &arguments);

// The usage, in German, ending in a line end.
QString usage();

#endif
