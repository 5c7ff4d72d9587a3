#pragma once

#include "core/product.h"
#include "support/vendorserver.h"
#include "support/xvfbdisplay.h"

#include <QDir>
#include <QPoint>
#include <QTemporaryDir>

#include <memory>
#include <vector>

// A run of the installer as a user meets it: a fresh home and temporary folder, the local vendor
// server on the compiled-in ports with a sample package and, for the real binary, a private X
// display with a window manager, keys and clicks. The window tests use home and server only.
class InstallerHarness
{
public:
    // Builds "good" (1 MiB), "truncated" and "corrupt" (the good one cut short, one byte
    // changed); "big" (thousands of files, an install of some seconds) when first used.
    bool preparePackages();
    // Minimising, activation and the system close need the window manager.
    bool startDisplay() { return m_display.start() && m_display.startWindowManager(); }
    // A fresh home; the server serving "good", each record held up to oplogDelayMs at random;
    // the records' server of the test channel on the compiled-in test port.
    bool beginRun(int oplogDelayMs = 0);
    // Ends the installers still running, the servers and the home.
    void endRun();

    VendorServer &server() { return *m_server; }
    VendorServer &testServer() { return *m_testServer; }
    bool usePackage(const QString &name);
    QStringList btnIds() const { return m_server->recordValues("btnId"); }

    // The real installer in the run's home and temporary folder, LANG and LC_ALL set to locale;
    // env ("NAME=value") overrides; started by wrapper (a command line before the installer's)
    // when given.
    QProcess *start(const QStringList &arguments = {}, const QString &locale = "C.UTF-8",
                    const QStringList &env = {}, const QStringList &wrapper = {});
    // A visible window of the running installer with this title, other than except.
    QString waitForWindow(QProcess *installer, const QString &title,
                          const QString &except = QString()) const;
    QStringList windowsOf(QProcess *p) const { return m_display.windowsOf(p->processId()); }
    // Answers the start-up warning and waits for the installer window.
    QString openWindow(QProcess *installer, const QString &tipTitle = "提示") const;
    bool xdotool(const QStringList &arguments) const { return m_display.xdotool(arguments); }
    bool key(const QString &w, const QString &keys) const { return m_display.pressKey(w, keys); }
    // Left clicks at a point of the window.
    bool click(const QString &window, QPoint point, int count = 1) const;
    // The text of a message box, selected with the mouse.
    QString boxText(const QString &window) const;
    // Started with "--print-selection", the test program prints the display's selection.
    static bool printSelection(int argc, char **argv);

    QString home() const { return m_home->path(); }
    QString downloadFolder() const { return home() + "/.local/share/kovraSetupOnline"; }
    QString logFile() const { return home() + "/.cache/kovraSetupOnline/install_revanto.log"; }
    QString installDir() const { return home() + Product::productFolderName; }
    QString uninstallList() const { return home() + "/.config/kovra/uninstall-list.ini"; }
    QStringList downloads() const
    {
        return QDir(downloadFolder())
            .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    }
    // The links on the desktop and in the start menu that lead into the install folder.
    QStringList linksIntoInstall() const;

private:
    XvfbDisplay m_display;
    QTemporaryDir m_packages;
    std::unique_ptr<QTemporaryDir> m_home;
    std::unique_ptr<VendorServer> m_server;
    std::unique_ptr<VendorServer> m_testServer;
    std::vector<std::unique_ptr<QProcess>> m_installers;
};
