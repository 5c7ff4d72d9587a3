#include "support/xvfbdisplay.h"

#include <QDeadlineTimer>
#include <QTest>

XvfbDisplay::~XvfbDisplay()
{
    stop();
}

bool XvfbDisplay::start()
{
    // -displayfd makes Xvfb choose a free display and print its number once it is ready.
    m_server.start(QStringLiteral("Xvfb"),
                   {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                    QStringLiteral("0"), QStringLiteral("1280x800x24"), QStringLiteral("-nolisten"),
                    QStringLiteral("tcp")});
    if (!m_server.waitForStarted(10000)) {
        qWarning("Xvfb did not start: %s", qPrintable(m_server.errorString()));
        return false;
    }
    QDeadlineTimer deadline(20000);
    QByteArray output;
    while (!output.contains('\n') && !deadline.hasExpired()
           && m_server.state() == QProcess::Running) {
        m_server.waitForReadyRead(200);
        output += m_server.readAllStandardOutput();
    }
    bool ok = false;
    const int number = output.trimmed().toInt(&ok);
    if (!ok) {
        qWarning("Xvfb gave no display number: %s", output.constData());
        stop();
        return false;
    }
    m_display = QStringLiteral(":%1").arg(number);
    return true;
}

void XvfbDisplay::stop()
{
    if (m_server.state() != QProcess::NotRunning) {
        m_server.terminate();
        if (!m_server.waitForFinished(5000)) {
            m_server.kill();
            m_server.waitForFinished(5000);
        }
    }
}

QProcessEnvironment XvfbDisplay::environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), m_display);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    return env;
}

QString XvfbDisplay::run(const QString &program, const QStringList &arguments,
                         int timeoutMs) const
{
    QProcess tool;
    tool.setProcessEnvironment(environment());
    tool.start(program, arguments);
    if (!tool.waitForFinished(timeoutMs)) {
        tool.kill();
        tool.waitForFinished(2000);
        return QString();
    }
    if (tool.exitStatus() != QProcess::NormalExit || tool.exitCode() != 0)
        return QString();
    return QString::fromUtf8(tool.readAllStandardOutput());
}

QStringList XvfbDisplay::findWindows(const QString &namePattern) const
{
    const QString out = run(QStringLiteral("xdotool"),
                            {QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                             QStringLiteral("--name"), namePattern});
    return out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QStringList XvfbDisplay::waitForWindows(const QString &namePattern, int timeoutMs) const
{
    QDeadlineTimer deadline(timeoutMs);
    QStringList windows;
    while ((windows = findWindows(namePattern)).isEmpty() && !deadline.hasExpired())
        QTest::qWait(100);
    return windows;
}
