// The age rule: a file is old enough when its creation date lies at least the retention period
// of calendar days before today, in local time; the time of day does not count.
#ifndef KEHRLUND_AGERULE_H
#define KEHRLUND_AGERULE_H

#include <QDate>
#include <QtGlobal>

#include <map>

class AgeRule
{
  public:
    explicit AgeRule(int retentionDays) : retentionDays(retentionDays) {}

    // Takes the clock's reading as the reference; true when its day changed, and only then are the
    // day's bounds worked out again (converting times to local time is costly).
    bool setNow(qint64 nowMs);

    bool isOldEnough(qint64 createdMs) const { return createdMs < oldEnoughBeforeMs; }
    qint64 oldEnoughBefore() const { return oldEnoughBeforeMs; }
    // Whole calendar days from the creation date to the reference date; negative after it.
    int ageInDays(qint64 createdMs) { return int(localDateOf(createdMs).daysTo(today)); }

  private:
    QDate localDateOf(qint64 ms);

    int retentionDays;
    QDate today;
    qint64 todayStartMs = 0;
    qint64 tomorrowStartMs = 0;
    qint64 oldEnoughBeforeMs = 0;

    // The local days met so far, by their first instant: the files of a tree were mostly created
    // on few days, so most files need no conversion to local time at all.
    struct Day {
        qint64 endMs;
        QDate date;
    };
    std::map<qint64, Day> knownDays;
};

#endif
