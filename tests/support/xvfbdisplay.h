#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QSize>
#include <QString>
#include <QStringList>

// A private X display (Xvfb) for tests that start the real installer in a real window and
// drive it with xdotool.
class XvfbDisplay
{
public:
    XvfbDisplay() = default;
    ~XvfbDisplay();

    // Starts Xvfb on a free display number (a 96-DPI screen, large enough for a window at twice
    // its size) and waits until it accepts clients.
    bool start();
    void stop();

    QString display() const { return m_display; }
    // The current environment with DISPLAY set to this display and the platform set to xcb.
    QProcessEnvironment environment() const;

    // Runs a tool (xdotool, import, ...) on this display; returns its standard output, or a
    // null string when it failed or ran longer than timeoutMs.
    QString run(const QString &program, const QStringList &arguments, int timeoutMs = 10000) const;

    // Waits until at least one visible window's title matches the pattern (xdotool search
    // --name); returns the ids.
    QStringList waitForWindows(const QString &namePattern, int timeoutMs = 30000) const;

    // Starts openbox on this display and waits until it manages windows: minimising, the
    // system close (Alt+F4) and activation need a window manager. stop() ends it.
    bool startWindowManager();

    // Runs xdotool on this display; true when it succeeded (most commands print nothing).
    bool xdotool(const QStringList &arguments) const;
    // Visible windows of one process.
    QStringList windowsOf(qint64 pid) const;
    // A window's title. WM_NAME of a Chinese title is not searchable, the UTF-8 name is.
    QString windowName(const QString &window) const;
    // Activates the window and types the keys on it ("Return", "alt+F4", ...).
    bool pressKey(const QString &window, const QString &keys) const;
    // A window's size in the display's pixels.
    QSize windowSize(const QString &window) const;
    // Whether it is the size at 100 % times the scale (dpi / 96), within two pixels.
    bool isScaled(const QString &window, QSize at100, int dpi) const;
    // The display's scale as desktops set it (Xft.dpi; 96 is 100 %), for programs started later.
    bool setDpi(int dpi) const;

private:
    QProcess m_server;
    QProcess m_windowManager;
    QString m_display;
};
