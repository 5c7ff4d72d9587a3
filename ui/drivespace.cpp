#include "ui/drivespace.h"

#include "core/product.h"

namespace DriveSpace {

double gigabytes(quint64 bytes)
{
    return double(bytes) / 1073741824.0;
}

QString formatGigabytes(double gigabytes)
{
    return QString::number(gigabytes, 'f', 2) + QStringLiteral("GB");
}

Verdict check(const QMap<QString, QString> &freeText, const QMap<QString, quint64> &freeBytes,
              const QString &drive)
{
    Verdict verdict;
    verdict.text = freeText.value(drive);
    const auto bytes = freeBytes.constFind(drive);
    verdict.enough = bytes != freeBytes.constEnd() && *bytes >= minimumFreeBytes;
    return verdict;
}

QString productFolder(const QString &chosenFolder)
{
    QString folder = chosenFolder + QLatin1String(Product::productFolderName);
    folder.replace(QStringLiteral("//"), QStringLiteral("/"));
    return folder;
}

} // namespace DriveSpace
