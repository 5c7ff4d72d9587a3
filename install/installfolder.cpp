#include "install/installfolder.h"

#include "platform/platform.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSet>

namespace InstallFolder {

namespace {

// No installation's list is longer: 100,000 files of long names stay below it.
constexpr qint64 listLimit = 64 << 20;

QString inSystemCase(const QString &text)
{
    const QString forward = QDir::fromNativeSeparators(text);
    return Platform::fileNameCase() == Qt::CaseInsensitive ? forward.toCaseFolded() : forward;
}

// The entries of the folder's list. Its paths may hold the "," that ends each entry, but each
// begins with the folder: the list is cut where "," and the folder come together.
QSet<QString> listedFiles(const QString &folder)
{
    QSet<QString> listed;
    const QString path = folder + QLatin1Char('/') + QLatin1String(listName);
    const QFileInfo info(path);
    // Opening a pipe would wait for ever, and a link may lead anywhere; what is read is bounded.
    if (!info.isFile() || info.isSymLink())
        return listed;
    QFile list(path);
    if (!list.open(QIODevice::ReadOnly))
        return listed;
    const QString text = inSystemCase(QString::fromUtf8(list.read(listLimit)));
    const QString start = comparable(folder) + QLatin1Char('/');
    if (!text.startsWith(start) || !text.endsWith(QLatin1Char(',')))
        return listed;
    const QStringList relatives = text.mid(start.size()).chopped(1).split(QLatin1Char(',') + start);
    for (const QString &relative : relatives)
        listed.insert(comparable(start + relative));
    return listed;
}

} // namespace

QString comparable(const QString &path)
{
    return inSystemCase(QDir::cleanPath(path));
}

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

QString freeSiblingName(const QString &folder, const QString &suffix)
{
    QString name = folder + suffix;
    for (int n = 2; QFileInfo(name).exists() || QFileInfo(name).isSymLink(); ++n)
        name = folder + suffix + QString::number(n);
    return name;
}

bool contains(const QString &folder, const QString &path)
{
    const QString inner = comparable(path);
    const QString outer = comparable(folder);
    return inner == outer || inner.startsWith(outer + QLatin1Char('/'));
}

} // namespace InstallFolder
