#include "app/product.h"
#include "report/machineid.h"
#include "support/vendorserver.h"
#include "support/xvfbdisplay.h"

#include <QtTest>

#include <memory>

namespace {

const QString tipTitle = QStringLiteral("提示");
const QString mainTitle = QStringLiteral("kovraSetupOnline");
const QString channel = QStringLiteral("setup_kvrun-77");
// Points on the window: the frame's margin, the button's place on its page, half its size.
const QPoint installButton(5 + 245 + 80, 5 + 252 + 25);
const QPoint startButton(5 + 245 + 80, 5 + 209 + 25);
const int installTimeout = 180000;
// A quarter-second download keeps the press and the download's report apart on the wire.
const QString paced = QStringLiteral("slow-4096");

} // namespace

// The real installer in a real window on a private display, clicked through by xdotool against
// the local vendor server, the way a user meets it.
class tst_InstallRun : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void installAndStart();
    void systemCloseDuringStalledDownload();
    void systemCloseDuringInstall();

private:
    bool usePackage(const QString &archive);
    // Starts the installer and answers the start-up warning; the main window's id.
    QString openInstaller();
    bool click(const QString &window, QPoint point) const;
    bool waitForRecord(const QString &btnId, int timeoutMs = installTimeout) const;
    QString home(const QString &relative) const { return m_home->filePath(relative); }
    QString installDir() const { return home(QLatin1String(Product::productFolderName).mid(1)); }
    // The links on the desktop and in the start menu that lead into the install folder.
    QStringList linksIntoInstall() const;

    XvfbDisplay m_display;
    QTemporaryDir m_packages;
    std::unique_ptr<QTemporaryDir> m_home;
    std::unique_ptr<VendorServer> m_server;
    std::unique_ptr<QProcess> m_installer;
};

void tst_InstallRun::initTestCase()
{
    QVERIFY(m_display.start());
    QVERIFY(m_display.startWindowManager());
    QVERIFY(m_packages.isValid());
    QVERIFY(VendorServer::buildPackage(m_packages.filePath(QStringLiteral("small.7z")),
                                       QStringLiteral("x64"), QStringLiteral("1M"), 4));
    // Many small files: an install that takes a while.
    QVERIFY(VendorServer::buildPackage(m_packages.filePath(QStringLiteral("many.7z")),
                                       QStringLiteral("x64"), QStringLiteral("24M"), 3000));
}

void tst_InstallRun::init()
{
    // The installer's home: its default install folder, links, uninstall list and log.
    m_home = std::make_unique<QTemporaryDir>();
    QVERIFY(m_home->isValid());
    for (const char *folder : {"Desktop", ".local/share/applications", "tmp"})
        QVERIFY(QDir().mkpath(home(QLatin1String(folder))));
    m_server = std::make_unique<VendorServer>();
    QVERIFY(m_server->start(VendorServer::productionPort()));
    m_server->setPackageMode(paced);
    QVERIFY(usePackage(QStringLiteral("small.7z")));
}

void tst_InstallRun::cleanup()
{
    if (m_installer && m_installer->state() != QProcess::NotRunning) {
        m_installer->kill();
        m_installer->waitForFinished();
    }
    m_installer.reset();
    m_server.reset();
    m_home.reset();
}

bool tst_InstallRun::usePackage(const QString &archive)
{
    const QString target =
        m_server->packageFolder() + QLatin1Char('/') + VendorServer::packageName();
    QFile::remove(target);
    return QFile::copy(m_packages.filePath(archive), target);
}

QString tst_InstallRun::openInstaller()
{
    QProcessEnvironment env = m_display.environment();
    env.insert(QStringLiteral("HOME"), m_home->path());
    for (const char *name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME",
                             "XDG_DESKTOP_DIR", "LANGUAGE", "LC_MESSAGES"})
        env.remove(QLatin1String(name));
    // Chinese texts; a private temporary folder for the single-instance lock.
    env.insert(QStringLiteral("LANG"), QStringLiteral("C.UTF-8"));
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    env.insert(QStringLiteral("TMPDIR"), home(QStringLiteral("tmp")));
    m_installer = std::make_unique<QProcess>();
    m_installer->setProcessEnvironment(env);
    m_installer->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_installer->start(QStringLiteral(KOVRA_INSTALLER_PATH), {channel});
    if (!m_installer->waitForStarted()) {
        qWarning("the installer did not start: %s", qPrintable(m_installer->errorString()));
        return QString();
    }
    const QString warning = m_display.waitForWindowOf(*m_installer, tipTitle);
    if (warning.isEmpty() || !m_display.pressKey(warning, QStringLiteral("Return"))) {
        qWarning("no start-up warning to answer");
        return QString();
    }
    return m_display.waitForWindowOf(*m_installer, mainTitle);
}

bool tst_InstallRun::click(const QString &window, QPoint point) const
{
    return m_display.xdotool(
               {QStringLiteral("windowactivate"), QStringLiteral("--sync"), window}) &&
           m_display.xdotool({QStringLiteral("mousemove"), QStringLiteral("--window"), window,
                              QString::number(point.x()), QString::number(point.y()),
                              QStringLiteral("click"), QStringLiteral("1")});
}

bool tst_InstallRun::waitForRecord(const QString &btnId, int timeoutMs) const
{
    QDeadlineTimer deadline(timeoutMs);
    while (!m_server->recordValues(QStringLiteral("btnId")).contains(btnId)) {
        if (deadline.hasExpired() || m_installer->state() == QProcess::NotRunning)
            return false;
        QTest::qWait(50);
    }
    return true;
}

QStringList tst_InstallRun::linksIntoInstall() const
{
    QStringList links;
    QDirIterator it(m_home->path(), QDir::System | QDir::Files | QDir::Hidden,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo link(it.next());
        if (link.isSymLink() && link.symLinkTarget().startsWith(installDir() + QLatin1Char('/')))
            links << link.filePath().mid(m_home->path().size() + 1);
    }
    links.sort();
    return links;
}

void tst_InstallRun::installAndStart()
{
    const QString window = openInstaller();
    QVERIFY2(!window.isEmpty(), "the installer window did not open");
    QVERIFY(click(window, installButton));
    QVERIFY2(waitForRecord(QStringLiteral("pc-install-success")), "the install did not finish");

    // The product, the links and the uninstall entry are in place before the start press.
    const QString product = installDir() + QLatin1String(Product::productExecutable);
    QVERIFY(QFileInfo(product).isExecutable());
    QVERIFY(QFileInfo::exists(installDir() + QStringLiteral("/Uninstall.list")));
    const QStringList links = linksIntoInstall();
    QCOMPARE(links.size(), 3);
    QVERIFY2(links.filter(QRegularExpression(QStringLiteral("^Desktop/[^/]+$"))).size() == 1,
             qPrintable(links.join(' ')));
    QFile list(home(QStringLiteral(".config/kovra/uninstall-list.ini")));
    QVERIFY2(list.open(QIODevice::ReadOnly), qPrintable(list.errorString()));
    QVERIFY(list.readAll().contains(
        (installDir() + QLatin1String(Product::uninstallerExecutable)).toUtf8()));
    QVERIFY(!QFileInfo::exists(installDir() + QStringLiteral("/started")));

    // The start press runs the product and ends the installer at once, with 0.
    QVERIFY(click(window, startButton));
    QVERIFY(m_installer->waitForFinished(30000));
    QCOMPARE(m_installer->exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_installer->exitCode(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(installDir() + QStringLiteral("/started")), 15000);

    // Every record in order, from this channel and machine; the start press's own record is
    // posted as the process ends and may never leave it.
    QStringList ids = m_server->recordValues(QStringLiteral("btnId"));
    ids.removeAll(QStringLiteral("pc-install-setup"));
    QCOMPARE(ids, QStringList({"pc-install-go", "pc-load-ok", "pc-install-success"}));
    const QStringList channels = m_server->recordValues(QStringLiteral("apkChannel"));
    QCOMPARE(channels.count(QStringLiteral("kvrun")), channels.size());
    const QStringList machines = m_server->recordValues(QStringLiteral("pcId"));
    QCOMPARE(machines.count(getMachineId()), machines.size());
    QCOMPARE(m_server->requestPaths(QStringLiteral("GET")),
             QStringList{QLatin1String(Product::packagePath)});
}

void tst_InstallRun::systemCloseDuringStalledDownload()
{
    m_server->setPackageMode(QStringLiteral("stall"));
    const QString window = openInstaller();
    QVERIFY2(!window.isEmpty(), "the installer window did not open");
    QVERIFY(click(window, installButton));
    QTRY_VERIFY_WITH_TIMEOUT(!m_server->requestPaths(QStringLiteral("GET")).isEmpty(), 30000);
    QVERIFY(waitForRecord(QStringLiteral("pc-install-go")));

    // Alt+F4 while the server sends nothing: the download is ended, the process leaves with 0.
    QVERIFY(m_display.pressKey(window, QStringLiteral("alt+F4")));
    QVERIFY(m_installer->waitForFinished(30000));
    QCOMPARE(m_installer->exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_installer->exitCode(), 0);
    QVERIFY(!QFileInfo::exists(installDir()));
}

void tst_InstallRun::systemCloseDuringInstall()
{
    QVERIFY(usePackage(QStringLiteral("many.7z")));
    const QString window = openInstaller();
    QVERIFY2(!window.isEmpty(), "the installer window did not open");
    QVERIFY(click(window, installButton));
    QVERIFY(waitForRecord(QStringLiteral("pc-load-ok")));
    const QString bookkeeping = installDir() + QStringLiteral("/Uninstall.list");
    QVERIFY2(!QFileInfo::exists(bookkeeping), "the install ended before the close was asked");

    // Alt+F4 while the install runs: the process waits for it and then leaves with 0.
    QVERIFY(m_display.pressKey(window, QStringLiteral("alt+F4")));
    QVERIFY(m_installer->waitForFinished(installTimeout));
    QCOMPARE(m_installer->exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_installer->exitCode(), 0);
    QVERIFY(QFileInfo::exists(bookkeeping));
    QCOMPARE(linksIntoInstall().size(), 3);
    QFile list(home(QStringLiteral(".config/kovra/uninstall-list.ini")));
    QVERIFY2(list.open(QIODevice::ReadOnly), qPrintable(list.errorString()));
    QVERIFY(list.readAll().contains(
        (installDir() + QLatin1String(Product::uninstallerExecutable)).toUtf8()));
    // The window went at once; the finished page never came.
    QVERIFY(!m_server->recordValues(QStringLiteral("btnId"))
                 .contains(QStringLiteral("pc-install-success")));
}

QTEST_GUILESS_MAIN(tst_InstallRun)
#include "tst_installrun.moc"
