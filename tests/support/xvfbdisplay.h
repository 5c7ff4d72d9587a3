#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

// A private X display (Xvfb) for tests that start the real installer in a real window and
// drive it with xdotool.
class XvfbDisplay
{
public:
    XvfbDisplay() = default;
    ~XvfbDisplay();

    // Starts Xvfb on a free display number and waits until it accepts clients.
    bool start();
    void stop();

    QString display() const { return m_display; }
    // The current environment with DISPLAY set to this display and the platform set to xcb.
    QProcessEnvironment environment() const;

    // Runs a tool (xdotool, import, ...) on this display; returns its standard output, or a
    // null string when it failed or ran longer than timeoutMs.
    QString run(const QString &program, const QStringList &arguments,
                int timeoutMs = 10000) const;

    // Window ids whose title matches the pattern (xdotool search --name), visible only.
    QStringList findWindows(const QString &namePattern) const;
    // Waits until at least one visible window matches; returns the ids.
    QStringList waitForWindows(const QString &namePattern, int timeoutMs = 15000) const;

private:
    QProcess m_server;
    QString m_display;
};
