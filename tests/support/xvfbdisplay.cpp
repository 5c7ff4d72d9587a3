#include "support/xvfbdisplay.h"

#include <QDeadlineTimer>
#include <QRegularExpression>
#include <QTest>

namespace {

void end(QProcess &process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished(5000);
    }
}

} // namespace

XvfbDisplay::~XvfbDisplay()
{
    stop();
}

bool XvfbDisplay::start()
{
    // -displayfd makes Xvfb choose a free display and print its number once it is ready.
    m_server.start("Xvfb", {"-displayfd", "1", "-screen", "0", "2560x1600x24", "-dpi", "96",
                            "-nolisten", "tcp"});
    QDeadlineTimer deadline(20000);
    QByteArray output;
    while (!output.contains('\n') && !deadline.hasExpired() && m_server.waitForStarted()) {
        m_server.waitForReadyRead(200);
        output += m_server.readAllStandardOutput();
    }
    bool ok = false;
    const int number = output.trimmed().toInt(&ok);
    if (!ok) {
        qWarning("Xvfb gave no display number: %s %s", output.constData(),
                 qPrintable(m_server.errorString()));
        stop();
        return false;
    }
    m_display = QString(":%1").arg(number);
    return true;
}

void XvfbDisplay::stop()
{
    end(m_windowManager);
    end(m_server);
}

QProcessEnvironment XvfbDisplay::environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", m_display);
    env.insert("QT_QPA_PLATFORM", "xcb");
    return env;
}

QString XvfbDisplay::run(const QString &program, const QStringList &arguments, int timeoutMs) const
{
    QProcess tool;
    tool.setProcessEnvironment(environment());
    tool.start(program, arguments);
    const bool ok = tool.waitForFinished(timeoutMs) && tool.exitStatus() == QProcess::NormalExit &&
                    tool.exitCode() == 0;
    end(tool);
    if (!ok)
        return QString();
    const QString output = QString::fromUtf8(tool.readAllStandardOutput());
    return output.isNull() ? QString("") : output; // null only for a failure
}

QStringList XvfbDisplay::waitForWindows(const QString &namePattern, int timeoutMs) const
{
    QDeadlineTimer deadline(timeoutMs);
    QStringList windows;
    while ((windows = run("xdotool", {"search", "--onlyvisible", "--name", namePattern})
                          .split('\n', Qt::SkipEmptyParts))
               .isEmpty() &&
           !deadline.hasExpired())
        QTest::qWait(100);
    return windows;
}

bool XvfbDisplay::startWindowManager()
{
    m_windowManager.setProcessEnvironment(environment());
    m_windowManager.start("openbox", {"--sm-disable"});
    QDeadlineTimer deadline(20000);
    while (!run("xprop", {"-root", "_NET_SUPPORTING_WM_CHECK"}).contains("window id")) {
        if (deadline.hasExpired() || !m_windowManager.waitForStarted()) {
            qWarning("openbox does not manage the display: %s",
                     qPrintable(m_windowManager.errorString()));
            return false;
        }
        QTest::qWait(100);
    }
    return true;
}

bool XvfbDisplay::xdotool(const QStringList &arguments) const
{
    return !run("xdotool", arguments, 20000).isNull();
}

QStringList XvfbDisplay::windowsOf(qint64 pid) const
{
    return run("xdotool", {"search", "--onlyvisible", "--pid", QString::number(pid)})
        .split('\n', Qt::SkipEmptyParts);
}

QString XvfbDisplay::windowName(const QString &window) const
{
    return run("xdotool", {"getwindowname", window}).trimmed();
}

bool XvfbDisplay::pressKey(const QString &window, const QString &keys) const
{
    return xdotool({"windowactivate", "--sync", window, "key", keys});
}

QSize XvfbDisplay::windowSize(const QString &window) const
{
    const QString shell = run("xdotool", {"getwindowgeometry", "--shell", window});
    const auto value = [&shell](const char *name) {
        return QRegularExpression(QString("%1=(\\d+)").arg(name)).match(shell).captured(1).toInt();
    };
    return QSize(value("WIDTH"), value("HEIGHT"));
}

bool XvfbDisplay::isScaled(const QString &window, QSize at100, int dpi) const
{
    const QSize size = windowSize(window), exact = at100 * dpi / 96;
    if (qAbs(size.width() - exact.width()) <= 2 && qAbs(size.height() - exact.height()) <= 2)
        return true;
    qWarning("%dx%d at %d DPI, %dx%d at 96 DPI", size.width(), size.height(), dpi, at100.width(),
             at100.height());
    return false;
}

bool XvfbDisplay::setDpi(int dpi) const
{
    return !run("xprop", {"-root", "-f", "RESOURCE_MANAGER", "8s", "-set", "RESOURCE_MANAGER",
                          QString("Xft.dpi:\t%1\n").arg(dpi)})
                .isNull();
}
