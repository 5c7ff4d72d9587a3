#pragma once

#include <QString>

#include <functional>

// The machine identifier of this run once worked out; empty before the first report.
extern QString g_machineId;

// Runs one machine query ("wmic csproduct get UUID", "wmic cpu get processorid") and gives what
// it printed, column header and line ends included.
using MachineQuery = std::function<QString(const QString &commandLine)>;

// Works out the anonymous identifier of the computer from a query source: the MD5 of its system
// UUID, or of its processor ids when the UUID is a placeholder. No raw hardware text leaves it.
class MachineIdentifier
{
public:
    explicit MachineIdentifier(MachineQuery query);

    // Always 32 lower-case hexadecimal digits.
    QString identify() const;

    // The query's output without the column header (the command line's last word, in any case),
    // without line breaks, and with runs of white space made one blank.
    QString cleanedOutput(const QString &commandLine) const;

    // MD5 of the Latin-1 bytes, as lower-case hexadecimal digits.
    static QString hash(const QString &cleanedText);

private:
    MachineQuery m_query;
};

// The machine identifier: the first call asks the platform, later calls answer from g_machineId.
QString getMachineId();
// The same over another query source; it shares the cache with the call above.
QString getMachineId(const MachineQuery &query);
