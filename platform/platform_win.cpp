#include "platform/platform.h"

#include <QByteArray>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>
#include <shellapi.h>

#include <cstring>
#include <string>

// The real Windows interfaces: the registry, drive letters, GetDiskFreeSpaceExW, wmic and the
// firmware table.
namespace Platform {

namespace {

// wmic of the system folder: one lying in the current folder (Downloads) must never run instead.
QString wmicProgram()
{
    wchar_t folder[MAX_PATH];
    const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return QString();
    return QString::fromWCharArray(folder, int(length)) + QStringLiteral("\\wbem\\WMIC.exe");
}

// The 16 UUID bytes as wmic prints them: upper case, 8-4-4-4-12, the first three fields read
// little-endian (as SMBIOS 2.6 and later store them; Windows reads older tables the same way).
QString formatUuid(const uchar *uuid)
{
    static const int order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    QString text;
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            text += QLatin1Char('-');
        text += QStringLiteral("%1").arg(uuid[order[i]], 2, 16, QLatin1Char('0'));
    }
    return text.toUpper();
}

// The system UUID of the SMBIOS system-information structure (type 1), the one wmic reports;
// empty when the firmware gives no such structure.
QString firmwareUuid()
{
    const DWORD rawSmbios = 0x52534D42; // 'RSMB'
    const UINT size = GetSystemFirmwareTable(rawSmbios, 0, nullptr, 0);
    // The table follows an 8-byte header; it is never near this bound.
    if (size <= 8 || size > (64u << 20))
        return QString();
    QByteArray buffer(int(size), '\0');
    if (GetSystemFirmwareTable(rawSmbios, 0, buffer.data(), size) != size)
        return QString();
    const auto *data = reinterpret_cast<const uchar *>(buffer.constData());
    quint32 tableLength = 0;
    std::memcpy(&tableLength, data + 4, sizeof tableLength);
    const quint32 end = 8 + qMin(tableLength, quint32(size) - 8);
    quint32 at = 8;
    // Each structure: type, length of its formatted part, handle, then strings ending in two NULs.
    while (at + 4 <= end) {
        const uchar type = data[at];
        const uchar formatted = data[at + 1];
        if (formatted < 4 || at + formatted > end || type == 127)
            break;
        if (type == 1)
            return formatted >= 0x18 ? formatUuid(data + at + 8) : QString();
        quint32 next = at + formatted;
        while (next + 1 < end && (data[next] != 0 || data[next + 1] != 0))
            ++next;
        at = next + 2;
    }
    return QString();
}

} // namespace

std::unique_ptr<QSettings> openUninstallEntry(const QString &keyPath)
{
    return std::make_unique<QSettings>(keyPath, QSettings::NativeFormat);
}

QString nativeFolder(const QString &folder)
{
    QString native = folder;
    return native.replace(QLatin1Char('/'), QLatin1Char('\\'));
}

QString folderRemovalCommand(const QString &nativeFolder)
{
    return QStringLiteral("rd/s/q \"") + nativeFolder + QLatin1Char('"');
}

QString uninstallProgram(const QString &storedCommand)
{
    QString program = storedCommand;
    return program.replace(QLatin1Char('/'), QLatin1Char('\\'));
}

bool copyFile(const QString &source, const QString &target)
{
    // The system's own CopyFile.
    return QFile::copy(source, target);
}

Qt::CaseSensitivity fileNameCase()
{
    return Qt::CaseInsensitive;
}

bool pathFits(const QString &path)
{
    // The toolkit and 7-Zip reach long paths through the "\\?\" form; a name stays at 255.
    if (path.size() >= 32000)
        return false;
    const QStringList names = QDir::fromNativeSeparators(path).split(QLatin1Char('/'));
    for (const QString &name : names) {
        if (name.size() > 255)
            return false;
    }
    return true;
}

namespace {

// The form the wide-character calls take a path of any length in.
std::wstring longPath(const QString &path)
{
    QString native = QDir::toNativeSeparators(QDir::cleanPath(path));
    if (native.startsWith(QLatin1String("\\\\")))
        native = QStringLiteral("\\\\?\\UNC\\") + native.mid(2);
    else if (native.size() > 1 && native.at(1) == QLatin1Char(':'))
        native.prepend(QStringLiteral("\\\\?\\"));
    return native.toStdWString();
}

} // namespace

bool namesFaithfully(const QString &)
{
    return true;
}

namespace {

// Rights that change a folder or what lies in it.
constexpr ACCESS_MASK changeRights = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD |
                                     FILE_WRITE_ATTRIBUTES | FILE_WRITE_EA | DELETE | WRITE_DAC |
                                     WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

// The user the installer runs for (the same account when it runs elevated), the administrators
// and the system.
bool isOwnSide(PSID sid, PSID user)
{
    return EqualSid(sid, user) || IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ||
           IsWellKnownSid(sid, WinLocalSystemSid);
}

// The TOKEN_USER of the installer's process; empty when it cannot be read.
QByteArray tokenUser()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return QByteArray();
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    QByteArray user(int(size), '\0');
    if (size == 0 || !GetTokenInformation(token, TokenUser, user.data(), size, &size))
        user.clear();
    CloseHandle(token);
    return user;
}

bool othersMayChange(PSID owner, PACL dacl, PSID user)
{
    // Without an access list everyone may do everything.
    if (!owner || !isOwnSide(owner, user) || !dacl)
        return true;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACE_HEADER *ace = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void **>(&ace)))
            return true;
        if (ace->AceType == ACCESS_DENIED_ACE_TYPE || (ace->AceFlags & INHERIT_ONLY_ACE))
            continue;
        // Only plain entries are judged; any other kind of grant is not trusted.
        if (ace->AceType != ACCESS_ALLOWED_ACE_TYPE)
            return true;
        const auto *allowed = reinterpret_cast<ACCESS_ALLOWED_ACE *>(ace);
        if ((allowed->Mask & changeRights) &&
            !isOwnSide(const_cast<DWORD *>(&allowed->SidStart), user))
            return true;
    }
    return false;
}

// Administrators own it; they and the system have every right, the user reads. Nothing is
// inherited from above, and what is made inside inherits the same.
bool protect(HANDLE folder, PSID user)
{
    LPWSTR userText = nullptr;
    if (!ConvertSidToStringSidW(user, &userText))
        return false;
    const QString text = QStringLiteral("O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FRFX;;;%1)")
                             .arg(QString::fromWCharArray(userText));
    LocalFree(userText);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
            reinterpret_cast<LPCWSTR>(text.utf16()), SDDL_REVISION_1, &descriptor, nullptr))
        return false;
    PSID owner = nullptr;
    PACL dacl = nullptr;
    BOOL present = FALSE, defaulted = FALSE;
    const bool done = GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) &&
                      GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) &&
                      SetSecurityInfo(folder, SE_FILE_OBJECT,
                                      OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                          PROTECTED_DACL_SECURITY_INFORMATION,
                                      owner, nullptr, dacl, nullptr) == ERROR_SUCCESS;
    LocalFree(descriptor);
    return done;
}

} // namespace

FolderClaim makePrivate(const QString &folder)
{
    // Without sharing deletion: while it is open, nobody renames or replaces it.
    const HANDLE handle = CreateFileW(
        longPath(folder).c_str(), READ_CONTROL | WRITE_DAC | WRITE_OWNER | FILE_READ_ATTRIBUTES,
        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        // Its access list does not even let administrators change it: not the user's folder.
        return GetLastError() == ERROR_ACCESS_DENIED ? FolderClaim::Foreign : FolderClaim::Failed;
    }
    FolderClaim claim = FolderClaim::Failed;
    BY_HANDLE_FILE_INFORMATION info;
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR current = nullptr;
    const QByteArray user = tokenUser();
    if (!user.isEmpty() && GetFileInformationByHandle(handle, &info) &&
        GetSecurityInfo(handle, SE_FILE_OBJECT,
                        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                        &dacl, nullptr, &current) == ERROR_SUCCESS) {
        const PSID self = reinterpret_cast<const TOKEN_USER *>(user.constData())->User.Sid;
        if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
            !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
            othersMayChange(owner, dacl, self))
            claim = FolderClaim::Foreign;
        else if (protect(handle, self))
            claim = FolderClaim::Private;
    }
    if (current)
        LocalFree(current);
    // A private folder's handle is never closed: it is held until the installer ends, when the
    // system closes it.
    if (claim != FolderClaim::Private)
        CloseHandle(handle);
    return claim;
}

FolderMove moveFolder(const QString &from, const QString &to)
{
    // Without MOVEFILE_COPY_ALLOWED: one step on one drive, never a copy.
    if (MoveFileExW(longPath(from).c_str(), longPath(to).c_str(), 0))
        return FolderMove::Moved;
    const DWORD error = GetLastError();
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ||
                   error == ERROR_LOCK_VIOLATION
               ? FolderMove::InUse
               : FolderMove::Failed;
}

QString desktopFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
}

QString applicationsFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::ApplicationsLocation);
}

QString sevenZipProgram()
{
    // Named without a path: Windows looks in the installer's own folder first.
    return QStringLiteral("7z.exe");
}

namespace {

// Held open until the installer ends: then the system closes it and ends every process in it.
HANDLE killOnCloseJob()
{
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
    std::memset(&limits, 0, sizeof limits);
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (job &&
        !SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        CloseHandle(job);
        job = nullptr;
    }
    return job;
}

} // namespace

BoundProcess::BoundProcess()
    : m_installerPid(GetCurrentProcessId())
{}

BoundProcess::~BoundProcess() = default;

QString BoundProcess::passFile(const QString &path)
{
    // Windows names hold no "*" or "?": the path itself is safe to give.
    return QFileInfo::exists(path) ? QDir::toNativeSeparators(path) : QString();
}

bool BoundProcess::startBound(const QString &program, const QStringList &arguments)
{
    start(program, arguments, QIODevice::ReadWrite);
    if (!waitForStarted(-1))
        return false;
    static const HANDLE job = killOnCloseJob();
    const HANDLE process =
        OpenProcess(PROCESS_SET_QUOTA | PROCESS_TERMINATE, FALSE, DWORD(processId()));
    if (!job || !process || !AssignProcessToJobObject(job, process))
        qDebug() << "helper not bound to the installer, error" << GetLastError();
    if (process)
        CloseHandle(process);
    return true;
}

void BoundProcess::setupChildProcess()
{
    // Called on Unix only; the job does its work here.
}

void startProduct(const QString &executablePath)
{
    // What opening the file in the shell does, without the GUI module.
    const QString native = QDir::toNativeSeparators(executablePath);
    ShellExecuteW(nullptr, L"open", reinterpret_cast<LPCWSTR>(native.utf16()), nullptr, nullptr,
                  SW_SHOWNORMAL);
}

struct ProcessTree::Private
{
    QProcess program;
    // Every process the program starts joins its job; without one (it could not be made or
    // joined) the program alone is followed.
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    PROCESS_INFORMATION *started = nullptr;
    ~Private()
    {
        if (job)
            CloseHandle(job);
    }
};

ProcessTree::ProcessTree()
    : d(std::make_unique<Private>())
{}

ProcessTree::~ProcessTree() = default;

bool ProcessTree::start(const QString &program)
{
    // Held at its start until it is in the job, so that nothing it starts can slip past.
    Private *tree = d.get();
    d->program.setCreateProcessArgumentsModifier(
        [tree](QProcess::CreateProcessArguments *arguments) {
            arguments->flags |= CREATE_SUSPENDED;
            tree->started = arguments->processInformation;
        });
    d->program.setProgram(program);
    d->program.start(QIODevice::ReadWrite);
    d->program.closeWriteChannel();
    if (!d->program.waitForStarted() || !d->started)
        return false;
    if (d->job && !AssignProcessToJobObject(d->job, d->started->hProcess)) {
        CloseHandle(d->job);
        d->job = nullptr;
    }
    ResumeThread(d->started->hThread);
    return true;
}

bool ProcessTree::isRunning()
{
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION job = {};
    return d->program.state() != QProcess::NotRunning ||
           (d->job &&
            QueryInformationJobObject(d->job, JobObjectBasicAccountingInformation, &job, sizeof job,
                                      nullptr) &&
            job.ActiveProcesses > 0);
}

void ProcessTree::kill()
{
    if (d->job)
        TerminateJobObject(d->job, 1);
    d->program.kill();
    d->program.waitForFinished(5000);
}

QStringList driveRoots()
{
    QStringList roots;
    const QFileInfoList drives = QDir::drives();
    for (const QFileInfo &drive : drives)
        roots.append(drive.absoluteDir().absolutePath());
    return roots;
}

QString driveKey(const QString &path)
{
    return path.left(1);
}

quint64 freeBytes(const QString &rootPath)
{
    ULARGE_INTEGER available, total, totalFree;
    available.QuadPart = total.QuadPart = totalFree.QuadPart = 0;
    // An empty card reader or optical drive answers with an error, not a "no disk" box. Only
    // this thread's mode changes: the install thread measures drives too.
    DWORD oldMode = 0;
    SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &oldMode);
    GetDiskFreeSpaceExW(reinterpret_cast<LPCWSTR>(rootPath.utf16()), &available, &total,
                        &totalFree);
    SetThreadErrorMode(oldMode, nullptr);
    return totalFree.QuadPart;
}

QString defaultInstallRoot()
{
    const QString temp = QStandardPaths::writableLocation(QStandardPaths::TempLocation);
    return temp.left(1) + QStringLiteral(":/Program Files");
}

QString runMachineQuery(const QString &commandLine)
{
    QStringList arguments = QProcess::splitCommand(commandLine);
    QString program = arguments.isEmpty() ? QString() : arguments.takeFirst();
    if (program.compare(QLatin1String("wmic"), Qt::CaseInsensitive) == 0)
        program = wmicProgram();
    QString output;
    if (!program.isEmpty()) {
        QProcess process;
        process.start(program, arguments, QIODevice::ReadWrite);
        // wmic does not end while its input is open.
        process.closeWriteChannel();
        process.waitForFinished(30000);
        output = QString::fromUtf8(process.readAllStandardOutput());
        process.close();
    }
    // Without wmic (recent Windows 11 has none) the firmware gives the same system UUID, so the
    // computer keeps its identifier.
    const QString header = arguments.isEmpty() ? QString() : arguments.constLast();
    if (header.compare(QLatin1String("UUID"), Qt::CaseInsensitive) == 0 &&
        QString(output).remove(header, Qt::CaseInsensitive).trimmed().isEmpty())
        return firmwareUuid();
    return output;
}

} // namespace Platform
