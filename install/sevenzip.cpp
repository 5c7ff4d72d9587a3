#include "install/sevenzip.h"

#include "platform/platform.h"

#include <QFileInfo>
#include <QProcess>

namespace SevenZip {

namespace {

// The archive as 7-Zip sees it from its folder; "./" keeps a name beginning with "-" an argument.
QString bareName(const QString &archivePath)
{
    return QStringLiteral("./") + QFileInfo(archivePath).fileName();
}

Result run(const QString &archivePath, const QStringList &arguments)
{
    QProcess sevenZip;
    sevenZip.setWorkingDirectory(QFileInfo(archivePath).path());
    sevenZip.start(Platform::sevenZipProgram(), arguments, QIODevice::ReadWrite);
    // Nothing is ever typed in: a password prompt gets end of input instead of waiting for ever.
    sevenZip.closeWriteChannel();
    Result result;
    const bool finished = sevenZip.waitForFinished(-1);
    result.output = QString::fromLocal8Bit(sevenZip.readAllStandardOutput());
    // 1 is a warning only; 2 and above mean a damaged archive, a full disk or a bad command, and
    // 7-Zip keeps whatever it unpacked until then.
    result.ok =
        finished && sevenZip.exitStatus() == QProcess::NormalExit && sevenZip.exitCode() <= 1;
    if (!result.ok)
        result.error = finished ? QStringLiteral("7-Zip exit code %1").arg(sevenZip.exitCode())
                                : sevenZip.errorString();
    return result;
}

} // namespace

QStringList extractArguments(const QString &archivePath)
{
    return {QStringLiteral("x"), bareName(archivePath), QStringLiteral("-o."),
            QStringLiteral("-aoa")};
}

Result list(const QString &archivePath)
{
    return run(archivePath, {QStringLiteral("l"), QStringLiteral("-slt"), bareName(archivePath)});
}

Result extract(const QString &archivePath)
{
    return run(archivePath, extractArguments(archivePath));
}

} // namespace SevenZip
