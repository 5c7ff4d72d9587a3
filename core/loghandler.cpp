#include "core/loghandler.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>
#include <QStandardPaths>
#include <QTextStream>

QString g_logDir;

namespace {

// Set while this thread writes a line: a message raised meanwhile (by the file, the stream or
// the text codec) would wait for the lock this thread already holds.
thread_local bool t_writingLine = false;

class WritingLineScope
{
public:
    WritingLineScope() { t_writingLine = true; }
    ~WritingLineScope() { t_writingLine = false; }
    WritingLineScope(const WritingLineScope &) = delete;
    WritingLineScope &operator=(const WritingLineScope &) = delete;
};

QString levelWord(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return QStringLiteral("Debug:");
    case QtWarningMsg:
        return QStringLiteral("Warning:");
    case QtCriticalMsg:
        return QStringLiteral("Critical:");
    case QtFatalMsg:
        return QStringLiteral("Fatal:");
    default:
        return QString();
    }
}

} // namespace

void logMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (t_writingLine)
        return; // dropped: writing it would re-enter the lock
    const WritingLineScope scope;

    static QMutex logMutex;
    const QMutexLocker locker(&logMutex);

    // Resolved under the lock, so the first messages of two threads cannot race for it.
    if (g_logDir.isEmpty()) {
        g_logDir = QStandardPaths::writableLocation(QStandardPaths::CacheLocation);
        if (g_logDir.isEmpty())
            return; // no cache folder known: never fall back to the file system's root
        if (!QDir(g_logDir).exists())
            QDir().mkpath(g_logDir);
    }

    const QString position =
        QStringLiteral("File:(%1) Line:(%2)")
            .arg(QString::fromUtf8(context.file), QString::number(context.line));
    const QString time = QStringLiteral("(%1)").arg(
        QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")));
    // One pass over the template: "%1" and the like inside the message stay as they are.
    const QString line =
        QStringLiteral("%1 %2 %3 %4").arg(time, levelWord(type), position, message);

    // Opened and closed for every line, so a line is on disk before the handler returns. Only
    // into a plain file: opening a pipe would wait for a reader for ever, and a link may lead to
    // anyone's file.
    QFile file(g_logDir + QStringLiteral("/install_revanto.log"));
    const QFileInfo found(file.fileName());
    if (found.isSymLink() || found.isJunction() || (found.exists() && !found.isFile()) ||
        !file.open(QIODevice::WriteOnly | QIODevice::Append))
        return; // lost silently: nothing may be written through a closed file
    QTextStream stream(&file);
    stream << line << "\r\n";
    stream.flush();
    file.close();
}
