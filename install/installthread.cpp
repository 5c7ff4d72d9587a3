#include "install/installthread.h"

#include "core/channelmanager.h"
#include "core/product.h"
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
#include <QSet>
#include <QStandardPaths>
#include <QStorageInfo>
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

// A link of the same name left by an earlier installation is replaced; one that already leads
// to the target stays as it is; a file that is no link is never replaced. On Windows the
// toolkit takes every ".lnk" name for a link, even one not there yet, whose removal then fails:
// the new link itself tells whether the place was free.
bool placeLink(const QString &target, const QString &linkPath)
{
    const QFileInfo existing(linkPath);
    if (existing.isSymLink() && existing.symLinkTarget() == QFileInfo(target).absoluteFilePath())
        return true;
    if (existing.isSymLink())
        QFile::remove(linkPath);
    return QFile::link(target, linkPath);
}

// Every name of relative below folder, the last one a file: a link anywhere on the way could
// lead out of the folder.
bool isPlainFileBelow(const QString &folder, const QString &relative)
{
    QString path = folder;
    const QStringList names = relative.split(QLatin1Char('/'));
    for (const QString &name : names) {
        path += QLatin1Char('/') + name;
        if (QFileInfo(path).isSymLink())
            return false;
    }
    return QFileInfo(path).isFile();
}

QString existingAncestor(QString path)
{
    while (!QFileInfo::exists(path) && !QDir(path).isRoot() && !path.isEmpty())
        path = QFileInfo(path).path();
    return path;
}

// A name the system gave in bytes that are no text (a home folder named in another encoding)
// reaches the toolkit with replacement characters, and would name a new folder beside it.
bool isFaithful(const QString &path)
{
    if (Platform::namesFaithfully(path))
        return true;
    qDebug() << "a folder name that is no text in the system's encoding:" << path;
    return false;
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
    m_journal = InstallJournal();
    m_journalBegun = false;
    m_reported = -1;
    report(0);
    // An empty or relative folder would stage in the working folder.
    if (QDir::isRelativePath(installDir)) {
        qDebug() << "installDir" << installDir << "is not an absolute folder";
        return fail(CannotWrite);
    }
    if (!QFileInfo::exists(archivePath))
        return fail(ArchiveMissing);
    if (!isFaithful(installDir) || !isFaithful(archivePath) ||
        !isFaithful(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)))
        return fail(CannotWrite);

    m_productFolder = installDir;
    m_staging = InstallFolder::freeSiblingName(m_productFolder, QStringLiteral(".partial"));
    m_staged = m_staging + (is64Bit ? QStringLiteral("/Revanto_x64Minimal")
                                    : QStringLiteral("/Revanto_x86Minimal"));
    qDebug() << "unzip dir" << m_staging;
    const QStringList shipped = distributionFiles();
    const SevenZip::Result listed = SevenZip::list(archivePath);
    ArchiveGuard::Listing listing = ArchiveGuard::judgeListing(listed.output);
    if (!listed.ok)
        listing.refusal = QStringLiteral("cannot list the archive: ") + listed.error;
    if (!checkPackage(listing, shipped))
        return;

    // Written down before anything changes: whatever happens from here can be taken back.
    QString createdRoot;
    for (QString folder = QFileInfo(m_staging).path();
         !QFileInfo::exists(folder) && !QDir(folder).isRoot(); folder = QFileInfo(folder).path())
        createdRoot = folder;
    const QFileInfo earlier(m_productFolder);
    if (!m_journal.begin(m_productFolder, m_staging, createdRoot,
                         earlier.exists() || earlier.isSymLink(), registration()))
        return fail(CannotWrite);
    m_journalBegun = true;
    if (!QDir().mkpath(m_staging)) {
        qDebug() << "cannot make the staging folder" << m_staging;
        return fail(CannotWrite);
    }
    if (!unpack())
        return;
    qDebug() << "app dir" << m_staged;
    const QFileInfo product(m_staged + QLatin1String(Product::productExecutable));
    if (!product.isFile() || product.isSymLink()) {
        qDebug() << "unzip failed" << m_staged << "holds no" << product.fileName();
        return fail(PackageUnusable);
    }

    QStringList packageFiles;
    collectFiles(m_staged, packageFiles);
    qDebug() << "LSIT" << packageFiles;
    QStringList installedFiles;
    for (const QString &path : qAsConst(packageFiles)) {
        if (isLeftOut(path))
            QFile::remove(path);
        else
            installedFiles.append(m_productFolder + path.mid(m_staged.size()));
    }
    if (!shipped.isEmpty() &&
        !copyFiles(QCoreApplication::applicationDirPath(), shipped, installedFiles, 30, 70))
        return;
    if (!writeBookkeepingFiles(installedFiles))
        return fail(CannotWrite);
    if (!swapIntoPlace())
        return;
    if (!registerUninstall() || !createLinks())
        return fail(CannotWrite);
    m_journal.commit();
    emit installSuccess();
    // The new installation stands and is reported: the earlier one and the package go while the
    // finished page shows. A kill meanwhile leaves the journal committed, and the next start
    // finishes the clean-up.
    m_journal.finish();
    QFile::remove(archivePath);
}

bool InstallThread::checkPackage(const ArchiveGuard::Listing &listing, const QStringList &shipped)
{
    QString refusal = listing.refusal;
    const QString packageFolder = QFileInfo(m_staged).fileName() + QLatin1Char('/');
    QSet<QString> packaged;
    m_packageFileCount = 0;
    // Every path the install makes must be one the system can name, or 7-Zip and the copy
    // would stop half-way in a tree that could not even be removed.
    const auto fits = [&refusal](const QString &path) {
        if (refusal.isEmpty() && !Platform::pathFits(path))
            refusal = QStringLiteral("path too long: ") + path;
    };
    for (const ArchiveGuard::Entry &entry : listing.entries) {
        const QString path = QDir::fromNativeSeparators(entry.path);
        fits(m_staging + QLatin1Char('/') + path);
        if (entry.isFolder || !path.startsWith(packageFolder))
            continue;
        const QString relative = path.mid(packageFolder.size() - 1);
        fits(m_productFolder + relative);
        ++m_packageFileCount;
        packaged.insert(InstallFolder::comparable(relative));
    }
    const QString existing = existingAncestor(m_productFolder);
    const QStorageInfo volume(existing);
    const quint64 block = volume.blockSize() > 0 ? quint64(volume.blockSize()) : 4096;
    // The staging holds the unpacked package once, the distribution and the bookkeeping files.
    quint64 needed = ArchiveGuard::diskBytes(listing, block) + 3 * block;
    const int appDir = QCoreApplication::applicationDirPath().size();
    for (const QString &path : shipped) {
        const QString relative = path.mid(appDir);
        fits(m_staged + relative);
        fits(m_productFolder + relative);
        needed += (quint64(QFileInfo(path).size()) / block + 1) * block;
        if (packaged.contains(InstallFolder::comparable(relative))) {
            qDebug() << path << "is in the package and in the distribution";
            fail(CannotWrite);
            return false;
        }
    }
    // 0 free bytes means unknown: 7-Zip's and the copy's own errors still catch a full disk.
    const quint64 free = Platform::freeBytes(existing);
    if (refusal.isEmpty() && free != 0 && needed > free)
        refusal = QStringLiteral("not enough free space for %1 bytes unpacked").arg(needed);
    if (refusal.isEmpty())
        return true;
    qDebug() << "unzip failed" << archivePath << refusal;
    fail(PackageUnusable);
    return false;
}

bool InstallThread::unpack()
{
    const QString packageFolder = QFileInfo(m_staged).fileName() + QLatin1Char('/');
    const double n = m_packageFileCount;
    int begun = 0;
    int done = 0;
    const SevenZip::Result extracted =
        SevenZip::extract(archivePath, m_staging, [&](const QString &entry) {
            const QString path = QDir::fromNativeSeparators(entry);
            if (!path.startsWith(packageFolder) || path.endsWith(QLatin1Char('/')) ||
                isLeftOut(path))
                return;
            // 7-Zip names a file as it begins it: the one before is done.
            if (begun++ > 0)
                report(++done / n * 70);
        });
    if (!extracted.ok) {
        qDebug() << "unzip failed" << archivePath << extracted.error;
        fail(PackageUnusable);
        return false;
    }
    while (done < begun)
        report(++done / n * 70);
    return true;
}

bool InstallThread::copyFiles(const QString &sourceDir, const QStringList &paths,
                              QStringList &installedFiles, double span, double base)
{
    // The log texts, misspellings included, are kept as they stand: support reads them.
    qDebug() << "LSIT" << paths;
    const int n = paths.size();
    qDebug() << "installDir" << installDir << n;
    int k = 0;
    for (const QString &path : paths) {
        if (isLeftOut(path))
            continue;
        const QString relative = path.mid(sourceDir.size());
        const QString target = m_staged + relative;
        const QString parent = QFileInfo(target).path();
        if (!QFileInfo::exists(parent))
            QDir().mkpath(parent);
        if (!Platform::copyFile(path, target)) {
            qDebug() << path << " =failed to= " << target;
            fail(CannotWrite);
            return false;
        }
        ++k;
        report(double(k) / double(n) * span + base);
        installedFiles.append(m_productFolder + relative);
    }
    return true;
}

bool InstallThread::writeBookkeepingFiles(QStringList &installedFiles)
{
    // Written into the staging folder, naming the paths they will have in the product folder.
    const QString list = QLatin1Char('/') + QLatin1String(InstallFolder::listName);
    installedFiles.append(m_productFolder + list);

    const QString nativeDir = Platform::nativeFolder(m_productFolder);
    if (!writeBookkeepingFile(m_staged + QStringLiteral("/Uninstall"),
                              Platform::folderRemovalCommand(nativeDir)))
        return false;
    // From here on the folder has the form the channel record, the links and the entry name.
    installDir = nativeDir;
    installedFiles.append(m_productFolder + QStringLiteral("/Uninstall"));

    const ChannelManager *channel = ChannelManager::instance();
    const QString channelName = channel->channelName();
    const QString channelId = channel->channelId();
    if (!writeBookkeepingFile(m_staged + QStringLiteral("/Qt5Encry.dll"),
                              channelName + QLatin1Char(',') + channel->channelToken() +
                                  QLatin1Char(',') + channelId))
        return false;
    installedFiles.append(installDir + QStringLiteral("/Qt5Encry.dll"));
    return writeBookkeepingFile(m_staged + list,
                                installedFiles.join(QLatin1Char(',')) + QLatin1Char(','));
}

bool InstallThread::swapIntoPlace()
{
    const QFileInfo earlier(m_productFolder);
    if (earlier.exists() || earlier.isSymLink()) {
        // Anything but an earlier installation (the user's files, a link) is kept aside whole.
        const QString aside =
            InstallFolder::freeSiblingName(m_productFolder, QStringLiteral(".old"));
        if (!m_journal.moveAside(aside, !InstallFolder::holdsOnlyInstallation(m_productFolder))) {
            fail(CannotWrite);
            return false;
        }
        const Platform::FolderMove moved = Platform::moveFolder(m_productFolder, aside);
        if (moved != Platform::FolderMove::Moved) {
            qDebug() << "cannot move the earlier installation aside" << m_productFolder
                     << (moved == Platform::FolderMove::InUse ? "while the product runs" : "");
            if (moved == Platform::FolderMove::InUse)
                emit productRunning();
            fail(CannotWrite);
            return false;
        }
    }
    if (!QDir().rename(m_staged, m_productFolder)) {
        qDebug() << "cannot move" << m_staged << "to" << m_productFolder;
        fail(CannotWrite);
        return false;
    }
    return true;
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
    const QString startMenu =
        QStandardPaths::writableLocation(QStandardPaths::ApplicationsLocation) + QLatin1Char('/') +
        name;
    return {QStandardPaths::writableLocation(QStandardPaths::DesktopLocation) + QLatin1Char('/') +
                name + QStringLiteral(".lnk"),
            startMenu + QLatin1Char('/') + name + QStringLiteral(".lnk"),
            startMenu + QLatin1Char('/') + tr("language8") + name + QStringLiteral(".lnk")};
}

InstallJournal::Registration InstallThread::registration()
{
    InstallJournal::Registration earlier;
    earlier.entryName = displayName();
    earlier.entry = UninstallEntry::values(earlier.entryName);
    const QStringList links = linkPaths();
    for (const QString &link : links) {
        const QFileInfo info(link);
        earlier.links.insert(link, info.isSymLink() ? info.symLinkTarget() : QString());
    }
    if (!QFileInfo::exists(QFileInfo(links.at(1)).path()))
        earlier.newMenuFolder = QFileInfo(links.at(1)).path();
    return earlier;
}

bool InstallThread::createLinks()
{
    const QString product = installDir + QLatin1String(Product::productExecutable);
    const QString uninstaller = installDir + QLatin1String(Product::uninstallerExecutable);
    const QStringList links = linkPaths();
    const bool desktop = placeLink(product, Platform::desktopFolder() + QLatin1Char('/') +
                                                QFileInfo(links.at(0)).fileName());
    qDebug() << desktop;
    const bool menu = createStartMenuLink(product, QFileInfo(links.at(1)).fileName());
    qDebug() << menu;
    const bool menuUninstaller =
        createStartMenuLink(uninstaller, QFileInfo(links.at(2)).fileName());
    qDebug() << menuUninstaller;
    return desktop && menu && menuUninstaller;
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

void InstallThread::report(double per)
{
    // The window shows whole percentages: a report for every file of a large package would
    // only wake it for nothing, on the processor 7-Zip unpacks with.
    const int whole = int(per);
    if (whole == m_reported)
        return;
    m_reported = whole;
    emit installProgress(per);
}

void InstallThread::fail(Failure code)
{
    // Nothing of the earlier installation is lost, nothing of this run stays, and the package
    // gives its space back at once.
    if (m_journalBegun)
        m_journal.rollBack();
    m_journalBegun = false;
    if (code != ArchiveMissing)
        QFile::remove(archivePath);
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
    QSet<QString> listed;
    const QStringList lines = QString::fromUtf8(list.readAll()).split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        // "x" and "./x" name one file.
        const QString relative = QDir::cleanPath(line.trimmed());
        if (line.trimmed().isEmpty() || listed.contains(InstallFolder::comparable(relative)))
            continue;
        if (ArchiveGuard::isContainedPath(relative) && relative != QLatin1String(".") &&
            isPlainFileBelow(folder, relative)) {
            files.append(folder + QLatin1Char('/') + relative);
            listed.insert(InstallFolder::comparable(relative));
        } else {
            qDebug() << "distribution list names no file of the folder:" << relative;
        }
    }
    return files;
}

void InstallThread::collectFiles(const QString &folder, QStringList &paths)
{
    collectInto(folder, QFileInfo(folder).canonicalFilePath(), paths);
}

void InstallThread::collectInto(const QString &folder, const QString &canonicalRoot,
                                QStringList &paths)
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
        if (entry.isDir())
            collectInto(entry.filePath(), canonicalRoot, paths);
        else
            paths.append(entry.filePath());
    }
}
