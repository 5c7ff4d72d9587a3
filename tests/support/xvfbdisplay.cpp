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
    while (!output.contains('\n') && !deadline.hasExpired() &&
           m_server.state() == QProcess::Running) {
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
    if (m_windowManager.state() != QProcess::NotRunning) {
        m_windowManager.terminate();
        if (!m_windowManager.waitForFinished(5000)) {
            m_windowManager.kill();
            m_windowManager.waitForFinished(5000);
        }
    }
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

QString XvfbDisplay::run(const QString &program, const QStringList &arguments, int timeoutMs) const
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
    const QString out =
        run(QStringLiteral("xdotool"), {QStringLiteral("search"), QStringLiteral("--onlyvisible"),
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

bool XvfbDisplay::startWindowManager()
{
    m_windowManager.setProcessEnvironment(environment());
    m_windowManager.start(QStringLiteral("openbox"), {QStringLiteral("--sm-disable")});
    if (!m_windowManager.waitForStarted()) {
        qWarning("openbox did not start: %s", qPrintable(m_windowManager.errorString()));
        return false;
    }
    QDeadlineTimer deadline(20000);
    while (!run(QStringLiteral("xprop"),
                {QStringLiteral("-root"), QStringLiteral("_NET_SUPPORTING_WM_CHECK")})
                .contains(QLatin1String("window id"))) {
        if (deadline.hasExpired()) {
            qWarning("openbox does not manage the display");
            return false;
        }
        QTest::qWait(100);
    }
    return true;
}

bool XvfbDisplay::xdotool(const QStringList &arguments) const
{
    QProcess tool;
    tool.setProcessEnvironment(environment());
    tool.start(QStringLiteral("xdotool"), arguments);
    if (!tool.waitForFinished(20000)) {
        tool.kill();
        tool.waitForFinished();
        return false;
    }
    return tool.exitStatus() == QProcess::NormalExit && tool.exitCode() == 0;
}

QStringList XvfbDisplay::windowsOf(qint64 pid) const
{
    return run(QStringLiteral("xdotool"),
               {QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--pid"),
                QString::number(pid)})
        .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QString XvfbDisplay::windowName(const QString &window) const
{
    return run(QStringLiteral("xdotool"), {QStringLiteral("getwindowname"), window}).trimmed();
}

QString XvfbDisplay::waitForWindowOf(const QProcess &process, const QString &title,
                                     int timeoutMs) const
{
    QDeadlineTimer deadline(timeoutMs);
    do {
        const QStringList windows = windowsOf(process.processId());
        for (const QString &window : windows) {
            if (windowName(window) == title)
                return window;
        }
        QTest::qWait(100);
    } while (!deadline.hasExpired() && process.state() == QProcess::Running);
    return QString();
}

bool XvfbDisplay::pressKey(const QString &window, const QString &keys) const
{
    return xdotool({QStringLiteral("windowactivate"), QStringLiteral("--sync"), window,
                    QStringLiteral("key"), keys});
}
