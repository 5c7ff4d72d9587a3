#include "install/downloadfolder.h"

#include "core/lockfiles.h"
#include "core/product.h"
#include "platform/platform.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QLockFile>
#include <QStandardPaths>
#include <QTemporaryFile>

namespace DownloadFolder {

namespace {

// What a run puts in the folder: the package, its partial download, and what unpacking it made.
QStringList ownEntries()
{
    const QString package = QLatin1String(Product::packageFileName);
    return {package, package + QStringLiteral("_tmp"), QStringLiteral("Revanto_x64Minimal"),
            QStringLiteral("Revanto_x86Minimal")};
}

bool isLink(const QFileInfo &info)
{
    return info.isSymLink() || info.isJunction();
}

// Removes path with everything below it; a link goes itself, never what it leads to.
bool removeEntry(const QString &path)
{
    const QFileInfo info(path);
    if (info.isDir() && !isLink(info)) {
        bool removed = true;
        const QStringList names = QDir(path).entryList(QDir::AllEntries | QDir::Hidden |
                                                       QDir::System | QDir::NoDotAndDotDot);
        for (const QString &name : names)
            removed = removeEntry(path + QLatin1Char('/') + name) && removed;
        return QDir().rmdir(path) && removed;
    }
    // A link to a folder is a folder to Windows' removal.
    if (QFile::remove(path) || QDir().rmdir(path))
        return true;
    // Windows keeps a read-only file; the bit belongs to the file itself here, never to a target.
    return !isLink(info) && QFile::setPermissions(path, info.permissions() | QFile::WriteUser) &&
           QFile::remove(path);
}

// A link in the folder's place is replaced, so nothing is written or removed through it.
bool makeReal(const QString &folder)
{
    const QFileInfo info(folder);
    if (isLink(info)) {
        qDebug() << "download folder was a link to" << info.symLinkTarget() << ", replaced";
        if (!removeEntry(folder))
            return false;
    }
    return QDir().mkpath(folder) && QFileInfo(folder).isDir() && !isLink(QFileInfo(folder));
}

// Permissions tell only part of it (a read-only disk, another owner's folder, Windows' own
// rules); a file made and removed again tells all.
bool canWrite(const QString &folder)
{
    QTemporaryFile probe(folder + QStringLiteral("/write-check-XXXXXX"));
    return probe.open();
}

// The message names the place in the system's own form (%1 of the text).
void refuse(QString *refusal, const char *key, const QString &where)
{
    *refusal = QObject::tr(key).arg(QDir::toNativeSeparators(where));
    qDebug() << "download folder refused:" << *refusal;
}

} // namespace

QString path()
{
    // Without an application name the location would be the user's whole data folder.
    if (QCoreApplication::applicationName().isEmpty())
        return QString();
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
}

std::unique_ptr<QLockFile> claim(QString *refusal)
{
    const QString folder = path();
    const QString parent = QFileInfo(folder).path();
    if (folder.isEmpty() || !QDir().mkpath(parent)) {
        refuse(refusal, "language14", parent);
        return nullptr;
    }
    // Beside the folder, not in it: the folder's own entries are removed at every start.
    const QString lockPath = folder + QStringLiteral(".lock");
    LockFiles::Claim lock = LockFiles::take(lockPath);
    switch (lock.outcome) {
    case LockFiles::Claim::Taken:
        break;
    case LockFiles::Claim::Held:
        // Another installer of either brand: this run would empty the folder under it.
        *refusal = QObject::tr("language11");
        qDebug() << "download folder in use by another installer:" << folder;
        return nullptr;
    case LockFiles::Claim::Unusable:
        refuse(refusal, "language13", lockPath);
        return nullptr;
    case LockFiles::Claim::CannotCreate:
        refuse(refusal, "language14", parent);
        return nullptr;
    }
    // The package is checked there and unpacked later: before anything is downloaded, nobody but
    // the installer may change what lies there. What someone else could change is not trusted.
    const Platform::FolderClaim claim =
        makeReal(folder) ? Platform::makePrivate(folder) : Platform::FolderClaim::Failed;
    if (claim == Platform::FolderClaim::Foreign) {
        refuse(refusal, "language17", folder);
        return nullptr;
    }
    if (claim != Platform::FolderClaim::Private || !canWrite(folder)) {
        refuse(refusal, "language14", folder);
        return nullptr;
    }
    return std::move(lock.lock);
}

void clear()
{
    const QString folder = path();
    if (folder.isEmpty() || !makeReal(folder)) {
        qDebug() << "download folder left as it is:" << folder;
        return;
    }
    for (const QString &name : ownEntries()) {
        const QString entry = folder + QLatin1Char('/') + name;
        const QFileInfo info(entry);
        if ((info.exists() || isLink(info)) && !removeEntry(entry))
            qDebug() << "cannot remove" << entry;
    }
}

} // namespace DownloadFolder
