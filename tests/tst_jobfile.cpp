// The job file, the console format and the run log, seen from outside.
#include "harness.h"

#include <QtTest>

class JobFileTest : public QObject
{
    Q_OBJECT

private slots:
    void missingJobFile();
};

void JobFileTest::missingJobFile()
{
    Workspace workspace;
    const RunResult result = workspace.run();
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.console,
             line(item(QStringLiteral("Fehler 006: Eingabedatei konnte nicht geöffnet werden"))) +
                 totalMessages(0) + closingPrompt());
    QCOMPARE(logBody(result.log), QByteArray("Treffer gesamt: 0\n"));
}

QTEST_GUILESS_MAIN(JobFileTest)
#include "tst_jobfile.moc"
