// The name patterns of a job, prepared once so that testing a name costs no allocation. A pattern
// must match the whole name; case is ignored for ASCII letters only, so that no other letter (the
// Kelvin sign, a full-width letter) can pass for one of the ending. A pattern not admitted matches
// nothing: the job checks never let one through, and an unknown pattern must not delete anything.
#ifndef KEHRLUND_NAMEPATTERNS_H
#define KEHRLUND_NAMEPATTERNS_H

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

class NamePatterns
{
  public:
    explicit NamePatterns(const QStringList &patterns);

    // The form a job's pattern must have: "*." and one to five ASCII letters or digits, or "*.*".
    static bool isAdmitted(const QString &pattern);

    // The name as the file system spells it (QByteArray), or as text (QString).
    template <typename Name> bool matches(const Name &name) const;

  private:
    QVector<QByteArray> endings; // ".log", lower case
    bool anyWithDot = false;     // "*.*"
};

#endif
