#include "sweep/agerule.h"

#include <QDateTime>

#include <iterator>

constexpr std::size_t knownDaysKept = 4096;

bool AgeRule::setNow(qint64 nowMs)
{
    if (today.isValid() && nowMs >= todayStartMs && nowMs < tomorrowStartMs)
        return false;
    today = QDateTime::fromMSecsSinceEpoch(nowMs).date();
    todayStartMs = today.startOfDay().toMSecsSinceEpoch();
    tomorrowStartMs = today.addDays(1).startOfDay().toMSecsSinceEpoch();
    // The age is at least the retention period exactly when the creation date is on or before
    // today minus that period, that is, when the file was created before the day after that began.
    oldEnoughBeforeMs = today.addDays(1 - qint64(retentionDays)).startOfDay().toMSecsSinceEpoch();
    return true;
}

QDate AgeRule::localDateOf(qint64 ms)
{
    auto next = knownDays.upper_bound(ms);
    if (next != knownDays.begin()) {
        const auto &day = *std::prev(next);
        if (ms < day.second.endMs)
            return day.second.date;
    }
    const QDate date = QDateTime::fromMSecsSinceEpoch(ms).date();
    const QDateTime start = date.startOfDay();
    const QDateTime end = date.addDays(1).startOfDay();
    if (start.isValid() && end.isValid()) {
        const qint64 startMs = start.toMSecsSinceEpoch();
        const qint64 endMs = end.toMSecsSinceEpoch();
        if (startMs <= ms && ms < endMs) {
            if (knownDays.size() >= knownDaysKept)
                knownDays.clear();
            knownDays.emplace(startMs, Day{endMs, date});
        }
    }
    return date;
}
