#pragma once

#include <QMap>
#include <QString>
#include <QtGlobal>

// The free-space arithmetic and decisions of the custom-install page, apart from the widgets
// that show them: the window measures the drives and passes its maps in.
namespace DriveSpace {

// A drive with exactly this much free room (200 MiB) still takes the product.
inline constexpr quint64 minimumFreeBytes = 209715200;

// Free bytes in the unit the page shows, 2^30 bytes.
double gigabytes(quint64 bytes);

// Two decimals and the unit, no blank between: "12.20GB".
QString formatGigabytes(double gigabytes);

// What the page shows for one drive key.
struct Verdict
{
    // The drive's free space as text; empty for a drive the scan did not measure.
    QString text;
    // Room for the product; never for a drive the scan did not measure.
    bool enough = false;
};

Verdict check(const QMap<QString, QString> &freeText, const QMap<QString, quint64> &freeBytes,
              const QString &drive);

// The product folder inside the folder the user chose, every "//" made one "/", so that a drive
// root such as D:/ gives D:/lumerixMasterRecovery.
QString productFolder(const QString &chosenFolder);

} // namespace DriveSpace
