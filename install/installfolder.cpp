#include "install/installfolder.h"

#include "platform/platform.h"

#include <QDebug>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSet>

namespace InstallFolder {

namespace {

QString comparable(const QString &path)
{
    const QString clean = QDir::cleanPath(QDir::fromNativeSeparators(path));
    return Platform::fileNameCase() == Qt::CaseInsensitive ? clean.toCaseFolded() : clean;
}

// The entries of the folder's list: paths joined by ",", the last one followed by "," too.
QSet<QString> listedFiles(const QString &folder)
{
    QSet<QString> listed;
    QFile list(folder + QLatin1Char('/') + QLatin1String(listName));
    if (!list.open(QIODevice::ReadOnly))
        return listed;
    const QStringList entries = QString::fromUtf8(list.readAll()).split(QLatin1Char(','));
    for (const QString &entry : entries) {
        if (!entry.isEmpty())
            listed.insert(comparable(entry));
    }
    return listed;
}

QString freeSiblingName(const QString &folder)
{
    QString aside = folder + QStringLiteral(".old");
    for (int n = 2; QFileInfo(aside).exists() || QFileInfo(aside).isSymLink(); ++n)
        aside = folder + QStringLiteral(".old") + QString::number(n);
    return aside;
}

} // namespace

bool holdsOnlyInstallation(const QString &folder)
{
    const QFileInfo info(folder);
    if (info.isSymLink())
        return false;
    if (!info.exists())
        return true;
    if (!info.isDir())
        return false;
    const QSet<QString> listed = listedFiles(folder);
    // Links are never followed: a link in the folder is nothing an installation made.
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QFileInfo entry = it.fileInfo();
        if (entry.isSymLink() || (!entry.isDir() && !listed.contains(comparable(entry.filePath()))))
            return false;
    }
    return true;
}

bool prepare(const QString &folder)
{
    if (holdsOnlyInstallation(folder)) {
        if (QFileInfo::exists(folder) && !QDir(folder).removeRecursively()) {
            qDebug() << "cannot empty the install folder" << folder;
            return false;
        }
    } else {
        const QString aside = freeSiblingName(folder);
        if (!QDir().rename(folder, aside)) {
            qDebug() << "install folder holds other files and cannot be moved aside" << folder;
            return false;
        }
        qDebug() << "install folder held other files, moved aside to" << aside;
    }
    if (!QDir().mkpath(folder) || !QFileInfo(folder).isDir()) {
        qDebug() << "cannot create the install folder" << folder;
        return false;
    }
    return true;
}

bool contains(const QString &folder, const QString &path)
{
    const QString inner = comparable(path);
    const QString outer = comparable(folder);
    return inner == outer || inner.startsWith(outer + QLatin1Char('/'));
}

} // namespace InstallFolder
