#include "report/machineid.h"

#include "platform/platform.h"

#include <QCryptographicHash>
#include <QStringList>

#include <utility>

QString g_machineId;

namespace {

const QString uuidQuery = QStringLiteral("wmic csproduct get UUID");
const QString processorQuery = QStringLiteral("wmic cpu get processorid");
// What firmware without a real system UUID reports in its place.
const QString placeholderUuid = QStringLiteral("FFFFFFFF");

} // namespace

MachineIdentifier::MachineIdentifier(MachineQuery query)
    : m_query(std::move(query))
{}

QString MachineIdentifier::cleanedOutput(const QString &commandLine) const
{
    QString text = m_query ? m_query(commandLine) : QString();
    // The column header that wmic prints above the value is the command line's last word.
    const QString header = commandLine.split(QLatin1Char(' ')).constLast();
    if (!header.isEmpty())
        text.remove(header, Qt::CaseInsensitive);
    text.remove(QLatin1Char('\r'));
    text.remove(QLatin1Char('\n'));
    return text.simplified();
}

QString MachineIdentifier::hash(const QString &cleanedText)
{
    return QString::fromLatin1(
        QCryptographicHash::hash(cleanedText.toLatin1(), QCryptographicHash::Md5)
            .toHex()
            .toLower());
}

QString MachineIdentifier::identify() const
{
    const QString uuid = cleanedOutput(uuidQuery);
    // An empty answer is hashed as it is; only a placeholder UUID asks for the processor.
    if (!uuid.contains(placeholderUuid))
        return hash(uuid);
    return hash(cleanedOutput(processorQuery));
}

QString getMachineId()
{
    return getMachineId(Platform::runMachineQuery);
}

QString getMachineId(const MachineQuery &query)
{
    if (!g_machineId.isEmpty())
        return g_machineId;
    g_machineId = MachineIdentifier(query).identify();
    return g_machineId;
}
