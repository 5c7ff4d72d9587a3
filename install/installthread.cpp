#include "install/installthread.h"

#include "core/channelmanager.h"
#include "core/product.h"
#include "install/archiveguard.h"
#include "install/installfolder.h"
#include "install/sevenzip.h"
#include "install/uninstallentry.h"
#include "platform/platform.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTextStream>

namespace {

// The installer's own executables: they stay out of the product folder.
const char *const installerNames[] = {"lumerixMasterInstaller.exe", "kovraSetupOnline.exe"};

// Beside the installer: the files of its distribution folder, one relative path a line, written
// by the build. Only these reach the product folder, never whatever else lies beside it.
const char distributionListName[] = "/distribution.list";

bool isLeftOut(const QString &path)
{
    for (const char *name : installerNames) {
        if (path.contains(QLatin1String(name)))
            return true;
    }
    // The running installer, whatever its file is called on this system.
    const QString selfPath = QCoreApplication::applicationFilePath();
    if (QFileInfo(path).fileName() != QFileInfo(selfPath).fileName())
        return false;
    const QString self = QFileInfo(selfPath).canonicalFilePath();
    return !self.isEmpty() && QFileInfo(path).canonicalFilePath() == self;
}

// Written whole or not at all; true once the file holds the text.
bool writeBookkeepingFile(const QString &path, const QString &text)
{
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Text)) {
        QTextStream stream(&file);
        stream.setCodec("UTF-8");
        stream << text;
        stream.flush();
        if (file.commit())
            return true;
    }
    qDebug() << "cannot write" << path << file.errorString();
    return false;
}

// A link of the same name left by an earlier installation is replaced, not kept. On Windows the
// toolkit takes every ".lnk" name for a link, even one not there yet, whose removal then fails:
// the new link itself tells whether the place was free.
bool placeLink(const QString &target, const QString &linkPath)
{
    const QFileInfo existing(linkPath);
    if (existing.isSymLink() || existing.isFile())
        QFile::remove(linkPath);
    return QFile::link(target, linkPath);
}

quint64 bytesOf(const QStringList &paths)
{
    quint64 bytes = 0;
    for (const QString &path : paths)
        bytes += quint64(QFileInfo(path).size());
    return bytes;
}

QString existingAncestor(QString path)
{
    while (!QFileInfo::exists(path) && !QDir(path).isRoot() && !path.isEmpty())
        path = QFileInfo(path).path();
    return path;
}

// Room for the unpacked package beside the archive and for its copy in the install folder.
// 0 free bytes means unknown: 7-Zip's and the copy's own errors still catch a full disk.
bool hasRoom(const QString &unzipDir, const QString &installDir, quint64 unpacked, quint64 shipped)
{
    const QString installVolume = existingAncestor(installDir);
    const quint64 unzipFree = Platform::freeBytes(unzipDir);
    const quint64 installFree = Platform::freeBytes(installVolume);
    const quint64 copied = unpacked + shipped;
    if (Platform::driveKey(unzipDir) == Platform::driveKey(installVolume))
        return unzipFree == 0 || unpacked + copied <= unzipFree;
    return (unzipFree == 0 || unpacked <= unzipFree) && (installFree == 0 || copied <= installFree);
}

} // namespace

InstallThread::InstallThread(QObject *parent)
    : QThread(parent)
{}

InstallThread::~InstallThread()
{
    wait();
}

QString InstallThread::displayName()
{
    return tr(Product::displayNameKey);
}

void InstallThread::run()
{
    unpackedEntries.clear();
    emit installProgress(0);
    // An empty or relative folder would empty the working folder and copy to the root.
    if (QDir::isRelativePath(installDir)) {
        qDebug() << "installDir" << installDir << "is not an absolute folder";
        return fail(CannotWrite);
    }
    if (!QFileInfo::exists(installDir) && !QFileInfo(installDir).isSymLink())
        QDir().mkpath(installDir);
    if (!QFileInfo::exists(archivePath))
        return fail(ArchiveMissing);

    const QStringList shipped = distributionFiles();
    const QString unzipDir = QFileInfo(archivePath).path();
    if (!unpack(unzipDir, bytesOf(shipped)))
        return;
    const QString appDir = unzipDir + (is64Bit ? QStringLiteral("/Revanto_x64Minimal")
                                               : QStringLiteral("/Revanto_x86Minimal"));
    qDebug() << "app dir" << appDir;
    const QFileInfo product(appDir + QLatin1String(Product::productExecutable));
    if (!product.isFile() || product.isSymLink()) {
        qDebug() << "unzip failed" << appDir << "holds no" << product.fileName();
        return fail(PackageUnusable);
    }

    QStringList packageFiles;
    QStringList names;
    collectFiles(appDir, packageFiles, names);
    if (!replaceEarlierInstallation(plannedFiles(appDir, packageFiles, shipped)))
        return fail(CannotWrite);
    QStringList installedFiles;
    if (!copyFiles(appDir, packageFiles, installedFiles, 70, 0))
        return;
    if (!shipped.isEmpty() &&
        !copyFiles(QCoreApplication::applicationDirPath(), shipped, installedFiles, 30, 70))
        return;
    if (!writeBookkeepingFiles(installedFiles) || !registerUninstall())
        return fail(CannotWrite);
    createLinks();
    emit installSuccess();
}

bool InstallThread::unpack(const QString &unzipDir, quint64 shippedBytes)
{
    qDebug() << "unzip dir" << unzipDir;
    qDebug() << "unzip" << SevenZip::extractArguments(archivePath);
    const SevenZip::Result listed = SevenZip::list(archivePath);
    ArchiveGuard::Listing listing = ArchiveGuard::judgeListing(listed.output);
    if (!listed.ok)
        listing.refusal = QStringLiteral("cannot list the archive: ") + listed.error;
    if (listing.refusal.isEmpty() &&
        !hasRoom(unzipDir, installDir, listing.unpackedBytes, shippedBytes))
        listing.refusal = QStringLiteral("not enough free space for %1 bytes unpacked")
                              .arg(listing.unpackedBytes);
    if (!listing.refusal.isEmpty()) {
        qDebug() << "unzip failed" << archivePath << listing.refusal;
        fail(PackageUnusable);
        return false;
    }
    unpackedEntries = listing.topLevelEntries;
    const SevenZip::Result extracted = SevenZip::extract(archivePath);
    if (!extracted.ok) {
        qDebug() << "unzip failed" << archivePath << extracted.error;
        fail(PackageUnusable);
        return false;
    }
    return true;
}

QStringList InstallThread::plannedFiles(const QString &appDir, const QStringList &packageFiles,
                                        const QStringList &shipped) const
{
    QStringList planned;
    for (const QString &path : packageFiles) {
        if (!isLeftOut(path))
            planned.append(targetOf(appDir, path));
    }
    for (const QString &path : shipped) {
        if (!isLeftOut(path))
            planned.append(targetOf(QCoreApplication::applicationDirPath(), path));
    }
    planned << installDir + QLatin1Char('/') + QLatin1String(InstallFolder::listName)
            << installDir + QStringLiteral("/Uninstall")
            << Platform::nativeFolder(installDir) + QStringLiteral("/Qt5Encry.dll");
    return planned;
}

bool InstallThread::replaceEarlierInstallation(const QStringList &plannedFiles)
{
    // The old registration and links go before the old files do: an install cut short leaves
    // nothing that names a half-copied folder, and only a complete install brings them back.
    const QString name = displayName();
    if (InstallFolder::contains(installDir, UninstallEntry::command(name)) &&
        !UninstallEntry::remove(name)) {
        qDebug() << "cannot remove the uninstall entry of the earlier installation";
        return false;
    }
    for (const QString &link : linkPaths()) {
        const QFileInfo info(link);
        if (info.isSymLink() && InstallFolder::contains(installDir, info.symLinkTarget()))
            QFile::remove(link);
    }
    if (!InstallFolder::prepare(installDir))
        return false;
    // Named before the first copy, so that an install cut short is known as one and replaced.
    return writeBookkeepingFile(installDir + QLatin1Char('/') +
                                    QLatin1String(InstallFolder::listName),
                                plannedFiles.join(QLatin1Char(',')) + QLatin1Char(','));
}

bool InstallThread::copyFiles(const QString &sourceDir, const QStringList &paths,
                              QStringList &installedFiles, double span, double base)
{
    // The log texts, misspellings included, are kept as they stand: support reads them.
    qDebug() << "LSIT" << paths;
    if (paths.isEmpty()) {
        qDebug() << "unzip failed" << sourceDir;
        fail(PackageUnusable);
        return false;
    }
    const int n = paths.size();
    qDebug() << "installDir" << installDir << n;
    int k = 0;
    for (const QString &path : paths) {
        if (isLeftOut(path))
            continue;
        const QString target = targetOf(sourceDir, path);
        const QString parent = QFileInfo(target).path();
        if (!QFileInfo::exists(parent))
            QDir().mkpath(parent);
        if (!Platform::copyFile(path, target)) {
            qDebug() << path << " =failed to= " << target;
            fail(CannotWrite);
            return false;
        }
        ++k;
        emit installProgress(double(k) / double(n) * span + base);
        installedFiles.append(target);
    }
    return true;
}

bool InstallThread::writeBookkeepingFiles(QStringList &installedFiles)
{
    const QString listPath = installDir + QLatin1Char('/') + QLatin1String(InstallFolder::listName);
    installedFiles.append(listPath);

    const QString uninstallPath = installDir + QStringLiteral("/Uninstall");
    const QString nativeDir = Platform::nativeFolder(installDir);
    if (!writeBookkeepingFile(uninstallPath, Platform::folderRemovalCommand(nativeDir)))
        return false;
    // From here on the folder has the form the channel record, the links and the entry name.
    installDir = nativeDir;
    installedFiles.append(uninstallPath);

    const ChannelManager *channel = ChannelManager::instance();
    const QString channelName = channel->channelName();
    const QString channelId = channel->channelId();
    const QString channelPath = installDir + QStringLiteral("/Qt5Encry.dll");
    if (!writeBookkeepingFile(channelPath, channelName + QLatin1Char(',') +
                                               channel->channelToken() + QLatin1Char(',') +
                                               channelId))
        return false;
    installedFiles.append(channelPath);
    return writeBookkeepingFile(listPath, installedFiles.join(QLatin1Char(',')) + QLatin1Char(','));
}

bool InstallThread::registerUninstall()
{
    const bool written =
        UninstallEntry::write(displayName(), installDir + QLatin1String(Product::productExecutable),
                              installDir + QLatin1String(Product::uninstallerExecutable));
    if (!written)
        qDebug() << "cannot write the uninstall entry" << displayName();
    return written;
}

QStringList InstallThread::linkPaths()
{
    const QString name = displayName();
    const QString startMenu = Platform::applicationsFolder() + QLatin1Char('/') + name;
    return {QStandardPaths::writableLocation(QStandardPaths::DesktopLocation) + QLatin1Char('/') +
                name + QStringLiteral(".lnk"),
            startMenu + QLatin1Char('/') + name + QStringLiteral(".lnk"),
            startMenu + QLatin1Char('/') + tr("language8") + name + QStringLiteral(".lnk")};
}

void InstallThread::createLinks()
{
    const QString product = installDir + QLatin1String(Product::productExecutable);
    const QString uninstaller = installDir + QLatin1String(Product::uninstallerExecutable);
    const QStringList links = linkPaths();
    qDebug() << placeLink(product, links.at(0));
    qDebug() << createStartMenuLink(product, QFileInfo(links.at(1)).fileName());
    qDebug() << createStartMenuLink(uninstaller, QFileInfo(links.at(2)).fileName());
}

bool InstallThread::createStartMenuLink(const QString &target, const QString &linkName)
{
    const QString folder = Platform::applicationsFolder() + QLatin1Char('/') + displayName();
    QDir dir(folder);
    if (!dir.exists())
        dir.mkdir(folder);
    if (!dir.exists())
        return false;
    return placeLink(target, folder + QLatin1Char('/') + linkName);
}

void InstallThread::fail(Failure code)
{
    // A failed install gives the space back at once: the package and what was unpacked of it.
    if (code != ArchiveMissing) {
        const QString unzipDir = QFileInfo(archivePath).path();
        for (const QString &entry : qAsConst(unpackedEntries)) {
            const QFileInfo unpacked(unzipDir + QLatin1Char('/') + entry);
            if (unpacked.isDir() && !unpacked.isSymLink())
                QDir(unpacked.filePath()).removeRecursively();
            else
                QFile::remove(unpacked.filePath());
        }
        QFile::remove(archivePath);
    }
    emit installFailed(code);
}

QStringList InstallThread::distributionFiles()
{
    const QString folder = QCoreApplication::applicationDirPath();
    QFile list(folder + QLatin1String(distributionListName));
    if (!list.open(QIODevice::ReadOnly | QIODevice::Text)) {
        qDebug() << "no distribution list beside the installer: nothing of its folder is copied";
        return {};
    }
    QStringList files;
    const QStringList lines = QString::fromUtf8(list.readAll()).split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        const QString relative = line.trimmed();
        const QFileInfo file(folder + QLatin1Char('/') + relative);
        if (relative.isEmpty())
            continue;
        if (ArchiveGuard::isContainedPath(relative) && file.isFile() && !file.isSymLink())
            files.append(file.filePath());
        else
            qDebug() << "distribution list names no file of the folder:" << relative;
    }
    return files;
}

QString InstallThread::targetOf(const QString &sourceDir, const QString &path) const
{
    return installDir + path.mid(path.indexOf(sourceDir) + sourceDir.size());
}

void InstallThread::collectFiles(const QString &folder, QStringList &paths, QStringList &names)
{
    collectInto(folder, QFileInfo(folder).canonicalFilePath(), paths, names);
}

void InstallThread::collectInto(const QString &folder, const QString &canonicalRoot,
                                QStringList &paths, QStringList &names)
{
    QDir dir(folder);
    if (!dir.exists())
        return;
    const QFileInfoList entries =
        dir.entryInfoList(QDir::Dirs | QDir::Files, QDir::DirsFirst | QDir::Name);
    for (const QFileInfo &entry : entries) {
        const QString name = entry.fileName();
        if (name == QLatin1String(".") || name == QLatin1String(".."))
            continue;
        // A link must not bring in anything from outside the folder being installed, and a
        // linked folder could lead back into itself.
        if (entry.isSymLink() && (entry.isDir() || !entry.canonicalFilePath().startsWith(
                                                       canonicalRoot + QLatin1Char('/')))) {
            qDebug() << "link left out" << entry.filePath();
            continue;
        }
        if (entry.isDir()) {
            collectInto(entry.filePath(), canonicalRoot, paths, names);
        } else {
            paths.append(entry.filePath());
            names.append(name);
        }
    }
}
