// Program entry: one cleaner over the job file and the run log in the working folder.
#include "consolemessage.h"
#include "fegwerk.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv); // arguments are not read
    {
        Fegwerk cleaner(QStringLiteral("eingabe_kehrlund.txt"), QStringLiteral("log_kehrlund.txt"));
        cleaner.run();
    }
    // Holds a console window open; returns at once when standard input is at its end or closed.
    ConsoleMessage() << QCoreApplication::translate("QCoreApplication",
                                                    "Bitte druecken Sie eine Taste zum beenden...");
    std::getchar();
    return 0;
}
