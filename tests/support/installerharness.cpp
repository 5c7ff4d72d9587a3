#include "support/installerharness.h"

#include "support/testfiles.h"

#include <QClipboard>
#include <QDeadlineTimer>
#include <QDirIterator>
#include <QGuiApplication>
#include <QTest>

#include <cstdio>

bool InstallerHarness::preparePackages()
{
    const QString good = m_packages.filePath("good");
    if (!VendorServer::buildPackage(good, "x64", "1M", 4))
        return false;
    QByteArray bytes = TestFiles::read(good);
    const int middle = bytes.size() / 2;
    bytes[middle] = char(bytes.at(middle) ^ 0x55);
    return TestFiles::write(m_packages.filePath("truncated"), TestFiles::read(good).left(middle)) &&
           TestFiles::write(m_packages.filePath("corrupt"), bytes);
}

bool InstallerHarness::beginRun(int oplogDelayMs)
{
    endRun();
    m_home = std::make_unique<QTemporaryDir>();
    m_server = std::make_unique<VendorServer>();
    m_testServer = std::make_unique<VendorServer>();
    // A user's home has a desktop folder.
    return m_home->isValid() && QDir().mkpath(home() + "/tmp") &&
           QDir().mkpath(home() + "/Desktop") &&
           m_server->start(VendorServer::productionPort(), oplogDelayMs) && usePackage("good") &&
           m_testServer->start(VendorServer::testPort());
}

void InstallerHarness::endRun()
{
    for (auto &installer : m_installers) {
        installer->kill();
        installer->waitForFinished();
    }
    m_installers.clear();
    m_server.reset();
    m_testServer.reset();
    m_home.reset();
}

bool InstallerHarness::usePackage(const QString &name)
{
    const QString big = m_packages.filePath("big");
    if (name == "big" && !QFile::exists(big) &&
        !VendorServer::buildPackage(big, "x64", "24M", 3000))
        return false;
    const QString target = m_server->packageFolder() + '/' + VendorServer::packageName();
    QFile::remove(target);
    return QFile::copy(m_packages.filePath(name), target);
}

QProcess *InstallerHarness::start(const QStringList &arguments, const QString &locale,
                                  const QStringList &env, const QStringList &wrapper)
{
    QProcessEnvironment environment = m_display.environment();
    for (const char *name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "LANGUAGE",
                             "LC_MESSAGES", "LC_CTYPE"})
        environment.remove(name);
    // Copies of one user meet in the temporary folder, by the user's name.
    const QStringList run{"HOME=" + home(), "TMPDIR=" + home() + "/tmp", "LANG=" + locale,
                          "LC_ALL=" + locale, "USER=" + environment.value("USER", "tester")};
    for (const QString &setting : run + env)
        environment.insert(setting.section('=', 0, 0), setting.section('=', 1));
    m_installers.push_back(std::make_unique<QProcess>());
    QProcess *installer = m_installers.back().get();
    installer->setProcessEnvironment(environment);
    installer->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    const QStringList command = wrapper + QStringList{KOVRA_INSTALLER_PATH} + arguments;
    installer->start(command.first(), command.mid(1));
    installer->waitForStarted();
    return installer;
}

QString InstallerHarness::waitForWindow(QProcess *installer, const QString &title,
                                        const QString &except) const
{
    const QDeadlineTimer deadline(30000);
    do {
        for (const QString &window : windowsOf(installer)) {
            if (window != except && m_display.windowName(window) == title)
                return window;
        }
        QTest::qWait(100);
    } while (!deadline.hasExpired() && installer->state() == QProcess::Running);
    qWarning("no window titled %s", qPrintable(title));
    return QString();
}

QString InstallerHarness::openWindow(QProcess *installer, const QString &tipTitle) const
{
    const QString warning = waitForWindow(installer, tipTitle);
    if (warning.isEmpty() || !key(warning, "Return"))
        return QString();
    return waitForWindow(installer, "kovraSetupOnline");
}

bool InstallerHarness::click(const QString &window, QPoint point, int count) const
{
    return xdotool({"windowactivate", "--sync", window, "mousemove", "--window", window,
                    QString::number(point.x()), QString::number(point.y()), "click", "--repeat",
                    QString::number(count), "--delay", "80", "1"});
}

QString InstallerHarness::boxText(const QString &window) const
{
    // A triple click on the text selects all of it; a toolkit client reads the selection while
    // the box still owns it.
    const QString self = QCoreApplication::applicationFilePath();
    return click(window, QPoint(70, 18), 3) ? m_display.run(self, {"--print-selection"}).trimmed()
                                            : QString();
}

bool InstallerHarness::printSelection(int argc, char **argv)
{
    if (argc != 2 || qstrcmp(argv[1], "--print-selection") != 0)
        return false;
    QGuiApplication app(argc, argv);
    std::puts(QGuiApplication::clipboard()->text(QClipboard::Selection).toUtf8().constData());
    return true;
}

QStringList InstallerHarness::linksIntoInstall() const
{
    QStringList links;
    QDirIterator it(home(), QDir::Files | QDir::System | QDir::Hidden,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        if (QFileInfo(it.next()).symLinkTarget().startsWith(installDir() + '/'))
            links << it.filePath();
    }
    return links;
}
