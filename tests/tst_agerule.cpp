// The age rule without the file system: calendar days in local time, across midnights and the
// changes to and from summer time.
#include "sweep/agerule.h"

#include <QtTest>

#include <cstdlib>
#include <ctime>

namespace
{
qint64 localMs(const char *text)
{
    return QDateTime::fromString(QLatin1String(text), QStringLiteral("yyyy-MM-dd hh:mm"))
        .toMSecsSinceEpoch();
}
} // namespace

class AgeRuleTest : public QObject
{
    Q_OBJECT

  private slots:
    void initTestCase();
    void ageAndVerdict_data();
    void ageAndVerdict();
    void referenceMovesOnlyWithTheDay();
};

void AgeRuleTest::initTestCase()
{
    // A zone with summer time, so that days of 23 and 25 hours occur.
    qputenv("TZ", "Europe/Berlin");
    tzset();
}

void AgeRuleTest::ageAndVerdict_data()
{
    QTest::addColumn<int>("retention");
    QTest::addColumn<QByteArray>("created");
    QTest::addColumn<QByteArray>("now");
    QTest::addColumn<int>("age");

    QTest::newRow("same day, 1 day")
        << 1 << QByteArray("2026-12-08 00:01") << QByteArray("2026-12-08 23:59") << 0;
    QTest::newRow("yesterday 23:59, at 00:01")
        << 1 << QByteArray("2026-12-07 23:59") << QByteArray("2026-12-08 00:01") << 1;
    QTest::newRow("exactly the period")
        << 30 << QByteArray("2026-11-08 12:00") << QByteArray("2026-12-08 08:00") << 30;
    QTest::newRow("one day short")
        << 30 << QByteArray("2026-11-09 00:00") << QByteArray("2026-12-08 23:59") << 29;
    QTest::newRow("created tomorrow")
        << 1 << QByteArray("2026-12-09 00:00") << QByteArray("2026-12-08 23:00") << -1;
    QTest::newRow("over the day of 23 hours")
        << 1 << QByteArray("2026-03-28 23:30") << QByteArray("2026-03-29 00:30") << 1;
    QTest::newRow("on the day of 23 hours")
        << 1 << QByteArray("2026-03-29 00:10") << QByteArray("2026-03-29 23:50") << 0;
    QTest::newRow("over the day of 25 hours")
        << 1 << QByteArray("2026-10-24 23:59") << QByteArray("2026-10-25 23:59") << 1;
    QTest::newRow("on the day of 25 hours")
        << 1 << QByteArray("2026-10-25 00:00") << QByteArray("2026-10-25 23:59") << 0;
    QTest::newRow("a whole year") << 365 << QByteArray("2025-12-08 00:00")
                                  << QByteArray("2026-12-08 00:00") << 365;
    QTest::newRow("a year less a day")
        << 365 << QByteArray("2025-12-09 00:00") << QByteArray("2026-12-08 23:59") << 364;
}

void AgeRuleTest::ageAndVerdict()
{
    QFETCH(int, retention);
    QFETCH(QByteArray, created);
    QFETCH(QByteArray, now);
    QFETCH(int, age);

    AgeRule rule(retention);
    rule.setNow(localMs(now.constData()));
    const qint64 createdMs = localMs(created.constData());
    // The day before is met first, as in a tree of files born around a midnight: the day it
    // remembers ends where the creation date begins.
    const qint64 lastOfDayBefore =
        QDateTime::fromMSecsSinceEpoch(createdMs).date().startOfDay().toMSecsSinceEpoch() - 1;
    QCOMPARE(rule.ageInDays(lastOfDayBefore), age + 1);
    QCOMPARE(rule.ageInDays(createdMs), age);
    QCOMPARE(rule.isOldEnough(createdMs), age >= retention);
    // The remembered day gives the same answer the second time.
    QCOMPARE(rule.ageInDays(createdMs), age);
}

void AgeRuleTest::referenceMovesOnlyWithTheDay()
{
    AgeRule rule(1);
    const qint64 created = localMs("2026-12-08 12:00");
    QVERIFY(rule.setNow(localMs("2026-12-08 23:58")));
    QVERIFY(!rule.setNow(localMs("2026-12-08 23:59")));
    QVERIFY(!rule.isOldEnough(created));
    QVERIFY(rule.setNow(localMs("2026-12-09 00:00")));
    QVERIFY(rule.isOldEnough(created));
    QCOMPARE(rule.ageInDays(created), 1);
}

QTEST_GUILESS_MAIN(AgeRuleTest)
#include "tst_agerule.moc"
