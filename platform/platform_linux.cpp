#include "platform/platform.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QStorageInfo>

#include <cerrno>
#include <climits>
#include <csignal>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

// Stand-ins for the Windows interfaces on Linux: a per-user INI file for the uninstall list,
// mounted volumes for drives, the DMI/machine-id files and CPUID for the machine queries.
namespace Platform {

namespace {

QString uninstallListFile()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/kovra/uninstall-list.ini");
}

QString readTrimmed(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromLatin1(file.readAll()).trimmed();
}

// What `wmic csproduct get UUID` prints on the same hardware: the DMI product UUID in upper
// case; where it cannot be read (it is readable by root only), the systemd machine id.
QString systemUuid()
{
    const QString uuid = readTrimmed(QStringLiteral("/sys/class/dmi/id/product_uuid"));
    if (!uuid.isEmpty())
        return uuid.toUpper();
    return readTrimmed(QStringLiteral("/etc/machine-id"));
}

// What `wmic cpu get processorid` prints: CPUID leaf 1, EDX then EAX, as 16 hex digits.
QString processorId()
{
#if defined(__x86_64__) || defined(__i386__)
    unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0)
        return QString();
    return QStringLiteral("%1%2")
        .arg(edx, 8, 16, QLatin1Char('0'))
        .arg(eax, 8, 16, QLatin1Char('0'))
        .toUpper();
#else
    return QString();
#endif
}

} // namespace

std::unique_ptr<QSettings> openUninstallEntry(const QString &keyPath)
{
    auto settings = std::make_unique<QSettings>(uninstallListFile(), QSettings::IniFormat);
    settings->beginGroup(keyPath);
    return settings;
}

QString nativeFolder(const QString &folder)
{
    return folder;
}

QString folderRemovalCommand(const QString &nativeFolder)
{
    // Inside double quotes the shell still expands "$", "`" and backslashes, and a quote ends
    // them. Escaped, a folder named "$HOME" or "$(...)" is removed as named, never its parent.
    QString quoted;
    for (const QChar c : nativeFolder) {
        if (c == QLatin1Char('"') || c == QLatin1Char('$') || c == QLatin1Char('`') ||
            c == QLatin1Char('\\'))
            quoted += QLatin1Char('\\');
        quoted += c;
    }
    return QStringLiteral("rm -rf \"") + quoted + QLatin1Char('"');
}

QString uninstallProgram(const QString &storedCommand)
{
    return storedCommand;
}

namespace {

// Moves the rest of in to out inside the kernel where it can, else through a buffer.
bool copyData(int in, int out)
{
    for (;;) {
        const ssize_t copied = ::copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0);
        if (copied == 0)
            return true;
        if (copied > 0 || errno == EINTR)
            continue;
        // Not between these two file systems, or not at all: the portable way.
        if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
            return false;
        break;
    }
    std::vector<char> buffer(1 << 20);
    for (;;) {
        const ssize_t read = ::read(in, buffer.data(), buffer.size());
        if (read == 0)
            return true;
        if (read < 0 && errno == EINTR)
            continue;
        if (read < 0)
            return false;
        for (ssize_t done = 0; done < read;) {
            const ssize_t written = ::write(out, buffer.data() + done, size_t(read - done));
            if (written < 0 && errno != EINTR)
                return false;
            done += qMax<ssize_t>(written, 0);
        }
    }
}

} // namespace

bool copyFile(const QString &source, const QString &target)
{
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return false;
    QFile out(target);
    // Created only if it does not exist yet: an existing target is never replaced.
    if (!out.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered))
        return false;
    // The source's permission bits, straight from its open file: no path lookups per file.
    struct stat status;
    bool copied = ::fstat(in.handle(), &status) == 0 && copyData(in.handle(), out.handle()) &&
                  ::fchmod(out.handle(), status.st_mode & 07777) == 0;
    out.close();
    copied = copied && out.error() == QFileDevice::NoError;
    if (!copied)
        out.remove();
    return copied;
}

Qt::CaseSensitivity fileNameCase()
{
    return Qt::CaseSensitive;
}

bool pathFits(const QString &path)
{
    const QByteArray bytes = QFile::encodeName(path);
    if (bytes.size() >= PATH_MAX)
        return false;
    const QList<QByteArray> names = bytes.split('/');
    for (const QByteArray &name : names) {
        if (name.size() > NAME_MAX)
            return false;
    }
    return true;
}

bool namesFaithfully(const QString &path)
{
    return !path.contains(QChar(QChar::ReplacementCharacter)) &&
           QFile::decodeName(QFile::encodeName(path)) == path;
}

FolderClaim makePrivate(const QString &folder)
{
    const int handle = ::open(QFile::encodeName(folder).constData(),
                              O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (handle < 0)
        return errno == ELOOP || errno == ENOTDIR ? FolderClaim::Foreign : FolderClaim::Failed;
    struct stat status;
    FolderClaim claim = FolderClaim::Failed;
    if (::fstat(handle, &status) == 0) {
        if (status.st_uid != ::geteuid() || (status.st_mode & (S_IWGRP | S_IWOTH)) != 0)
            claim = FolderClaim::Foreign;
        else if ((status.st_mode & 07777) == S_IRWXU || ::fchmod(handle, S_IRWXU) == 0)
            claim = FolderClaim::Private;
    }
    ::close(handle);
    return claim;
}

namespace {

// A process of this user whose executable lies in folder: the product, or a part of it, runs.
bool runsFrom(const QString &folder)
{
    const QString canonical = QFileInfo(folder).canonicalFilePath();
    if (canonical.isEmpty())
        return false;
    const QByteArray inside = QFile::encodeName(canonical) + '/';
    const QStringList processes = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &pid : processes) {
        char target[PATH_MAX];
        const QByteArray link = "/proc/" + pid.toLatin1() + "/exe";
        const ssize_t length = ::readlink(link.constData(), target, sizeof target);
        if (length > 0 && QByteArray(target, int(length)).startsWith(inside))
            return true;
    }
    return false;
}

} // namespace

FolderMove moveFolder(const QString &from, const QString &to)
{
    if (runsFrom(from))
        return FolderMove::InUse;
    return QDir().rename(from, to) ? FolderMove::Moved : FolderMove::Failed;
}

QString desktopFolder()
{
    // A fresh account may have no desktop folder, and the product's link would be missing.
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    QDir().mkpath(folder);
    return folder;
}

QString applicationsFolder()
{
    // Windows always has its Programs folder; a fresh Linux account may have no applications
    // folder yet, and the start-menu links would be missing without a word.
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::ApplicationsLocation);
    QDir().mkpath(folder);
    return folder;
}

QString sevenZipProgram()
{
    const QFileInfo beside(QCoreApplication::applicationDirPath() + QStringLiteral("/7z"));
    if (beside.isFile() && beside.isExecutable())
        return beside.filePath();
    return QStringLiteral("7z");
}

BoundProcess::BoundProcess()
    : m_installerPid(QCoreApplication::applicationPid())
{}

BoundProcess::~BoundProcess() = default;

QString BoundProcess::passFile(const QString &path)
{
    m_passed.setFileName(path);
    if (!m_passed.open(QIODevice::ReadOnly))
        return QString();
    // The program inherits this open file and names it by its number.
    m_passedHandle = m_passed.handle();
    return QStringLiteral("/proc/self/fd/") + QString::number(m_passedHandle);
}

bool BoundProcess::startBound(const QString &program, const QStringList &arguments)
{
    start(program, arguments, QIODevice::ReadWrite);
    return waitForStarted(-1);
}

void BoundProcess::setupChildProcess()
{
    // In the child, before the program starts: killed when the installer's thread that started it
    // ends, and at once if the installer has already gone.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != m_installerPid)
        ::_exit(127);
    if (m_passedHandle >= 0)
        ::fcntl(m_passedHandle, F_SETFD, 0);
}

void startProduct(const QString &executablePath)
{
    QProcess::startDetached(executablePath, QStringList());
}

namespace {

// The program leads a process group of its own, which whatever it starts belongs to as well.
class GroupLeader : public QProcess
{
protected:
    void setupChildProcess() override { ::setpgid(0, 0); }
};

} // namespace

struct ProcessTree::Private
{
    GroupLeader leader;
    pid_t group = 0;
};

ProcessTree::ProcessTree()
    : d(std::make_unique<Private>())
{}

ProcessTree::~ProcessTree() = default;

bool ProcessTree::start(const QString &program)
{
    d->leader.setProgram(program);
    d->leader.start(QIODevice::ReadWrite);
    d->leader.closeWriteChannel();
    if (!d->leader.waitForStarted())
        return false;
    d->group = pid_t(d->leader.processId());
    return true;
}

bool ProcessTree::isRunning()
{
    // Once empty, the group's number may name another group later: it is never asked for again.
    if (d->group > 0 && ::kill(-d->group, 0) != 0 && errno == ESRCH)
        d->group = 0;
    return d->group > 0;
}

void ProcessTree::kill()
{
    if (isRunning())
        ::kill(-d->group, SIGKILL);
    d->leader.waitForFinished(5000);
}

QStringList driveRoots()
{
    QStringList roots;
    const QList<QStorageInfo> volumes = QStorageInfo::mountedVolumes();
    for (const QStorageInfo &volume : volumes) {
        // Pseudo file systems (proc, sysfs, cgroups) have no size and hold no folder a user
        // would install to.
        if (volume.isValid() && volume.isReady() && volume.bytesTotal() > 0)
            roots.append(volume.rootPath());
    }
    return roots;
}

QString driveKey(const QString &path)
{
    const QStorageInfo volume(path);
    return volume.isValid() ? volume.rootPath() : QString();
}

quint64 freeBytes(const QString &rootPath)
{
    const QStorageInfo volume(rootPath);
    const qint64 bytes = volume.isValid() ? volume.bytesFree() : 0;
    return bytes > 0 ? quint64(bytes) : 0;
}

QString defaultInstallRoot()
{
    return QDir::homePath();
}

QString runMachineQuery(const QString &commandLine)
{
    if (commandLine.endsWith(QLatin1String("UUID")))
        return systemUuid() + QLatin1Char('\n');
    if (commandLine.endsWith(QLatin1String("processorid")))
        return processorId() + QLatin1Char('\n');
    return QString();
}

} // namespace Platform
