#include "install/sevenzip.h"

#include "platform/platform.h"

#include <QDebug>
#include <QFileInfo>

namespace SevenZip {

namespace {

// Runs 7-Zip in folder on the archive, which takes the place of "%archive" in arguments; each
// line of its output goes to onLine as it comes, or, without onLine, into the result.
Result run(const QString &archivePath, const QString &folder, QStringList arguments,
           const std::function<void(const QByteArray &line)> &onLine = {})
{
    Result result;
    Platform::BoundProcess sevenZip;
    sevenZip.setWorkingDirectory(folder);
    const QString archive = sevenZip.passFile(archivePath);
    if (archive.isEmpty()) {
        result.error = QStringLiteral("cannot open ") + archivePath;
        return result;
    }
    arguments.replaceInStrings(QStringLiteral("%archive"), archive);
    qDebug() << "unzip" << arguments;
    if (!sevenZip.startBound(Platform::sevenZipProgram(), arguments)) {
        result.error = sevenZip.errorString();
        return result;
    }
    // Nothing is ever typed in: a password prompt gets end of input instead of waiting for ever.
    sevenZip.closeWriteChannel();
    QByteArray output;
    for (bool more = true; more;) {
        more = sevenZip.waitForReadyRead(-1);
        output += sevenZip.readAllStandardOutput();
        if (!onLine)
            continue;
        for (int end = output.indexOf('\n'); end >= 0; end = output.indexOf('\n')) {
            onLine(output.left(end));
            output.remove(0, end + 1);
        }
    }
    const bool finished = sevenZip.waitForFinished(-1) || sevenZip.state() == QProcess::NotRunning;
    result.output = QString::fromLocal8Bit(output);
    // 1 is a warning only; 2 and above mean a damaged archive, a full disk or a bad command, and
    // 7-Zip keeps whatever it unpacked until then.
    result.ok =
        finished && sevenZip.exitStatus() == QProcess::NormalExit && sevenZip.exitCode() <= 1;
    if (!result.ok)
        result.error = sevenZip.exitStatus() == QProcess::NormalExit
                           ? QStringLiteral("7-Zip exit code %1").arg(sevenZip.exitCode())
                           : sevenZip.errorString();
    return result;
}

} // namespace

Result list(const QString &archivePath)
{
    return run(archivePath, QFileInfo(archivePath).path(),
               {QStringLiteral("l"), QStringLiteral("-slt"), QStringLiteral("%archive")});
}

Result extract(const QString &archivePath, const QString &folder,
               const std::function<void(const QString &entry)> &onEntry)
{
    // "-bb1" names each entry, and "-bsp1" sends the names as they come, between progress
    // figures that end in backspaces.
    return run(archivePath, folder,
               {QStringLiteral("x"), QStringLiteral("%archive"), QStringLiteral("-o."),
                QStringLiteral("-aoa"), QStringLiteral("-bb1"), QStringLiteral("-bsp1")},
               [&onEntry](const QByteArray &line) {
                   QByteArray shown = line.mid(line.lastIndexOf('\b') + 1);
                   if (shown.endsWith('\r'))
                       shown.chop(1);
                   if (shown.startsWith("- "))
                       onEntry(QString::fromLocal8Bit(shown.mid(2)));
               });
}

} // namespace SevenZip
