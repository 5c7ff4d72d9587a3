#include "app/product.h"
#include "app/qtsingleapplication.h"
#include "support/xvfbdisplay.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <cstdio>
#include <memory>
#include <vector>

#include <signal.h>
#include <sys/types.h>

namespace {

// Child mode: --probe ID prints whether a copy with that application id runs for this user.
const char probeOption[] = "--probe";

int runProbe(int argc, char **argv)
{
    QtSingleApplication app(QString::fromUtf8(argv[2]), argc, argv);
    std::puts(app.isRunning() ? "running" : "first");
    return 0;
}

const QString mainTitle = QStringLiteral("kovraSetupOnline");
const QString chineseTip = QStringLiteral("提示");

QString otherBrandId()
{
    return QLatin1String(Product::variantFlag ? "onlinesetup" : "onlinesetup-green");
}

// The other brand's installer, when both brands are built side by side.
QString otherBrandInstaller()
{
    const QString build = QDir::cleanPath(QStringLiteral(KOVRA_BINARY_DIR));
    const QString sibling =
        Product::variantFlag ? QStringLiteral("standard") : QStringLiteral("green");
    const QString path =
        QFileInfo(build).dir().filePath(sibling + QStringLiteral("/installer/") +
                                        QFileInfo(QStringLiteral(KOVRA_INSTALLER_PATH)).fileName());
    return QFileInfo::exists(path) ? path : QString();
}

} // namespace

class tst_startup : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void warningBoxComesFirst_data();
    void warningBoxComesFirst();
    void arguments_data();
    void arguments();
    void secondCopyRaisesFirst();
    void secondCopyDuringWarning();
    void copiesStartedTogether();
    void otherBrandRunsBeside();
    void crashedCopyDoesNotBlock();
    void stoppedCopyDoesNotHangSecond();

private:
    QProcess *startInstaller(const QStringList &arguments = {},
                             const QString &locale = QStringLiteral("C.UTF-8"),
                             const QString &program = QStringLiteral(KOVRA_INSTALLER_PATH));
    QStringList visibleWindows(qint64 pid) const { return m_display.windowsOf(pid); }
    QString waitForWindow(QProcess *installer, const QString &title) const
    {
        return m_display.waitForWindowOf(*installer, title);
    }
    bool pressReturn(const QString &window) const
    {
        return m_display.pressKey(window, QStringLiteral("Return"));
    }
    // The window manager's close, as a user's Alt+F4 asks for it.
    bool closeWindow(const QString &window) const
    {
        return m_display.pressKey(window, QStringLiteral("alt+F4"));
    }
    QString startToMainWindow(QProcess *installer, const QString &tipTitle = chineseTip);
    QString probe(const QString &id);

    XvfbDisplay m_display;
    // Holds the copies' lock and socket, so they meet only copies of this test.
    std::unique_ptr<QTemporaryDir> m_tmp;
    std::vector<std::unique_ptr<QProcess>> m_installers;
};

void tst_startup::initTestCase()
{
    QVERIFY(m_display.start());
    // Minimising needs a window manager: it unmaps the window and maps it back.
    QVERIFY(m_display.startWindowManager());
}

void tst_startup::init()
{
    m_tmp = std::make_unique<QTemporaryDir>();
    QVERIFY(m_tmp->isValid());
}

void tst_startup::cleanup()
{
    for (auto &installer : m_installers) {
        if (installer->state() != QProcess::NotRunning) {
            ::kill(pid_t(installer->processId()), SIGCONT);
            installer->kill();
            installer->waitForFinished();
        }
    }
    m_installers.clear();
    m_tmp.reset();
}

void tst_startup::cleanupTestCase()
{
    m_display.stop();
}

QProcess *tst_startup::startInstaller(const QStringList &arguments, const QString &locale,
                                      const QString &program)
{
    auto installer = std::make_unique<QProcess>();
    QProcessEnvironment env = m_display.environment();
    for (const char *name : {"LANGUAGE", "LC_MESSAGES", "LC_NUMERIC", "LC_CTYPE"})
        env.remove(QLatin1String(name));
    env.insert(QStringLiteral("LANG"), locale);
    env.insert(QStringLiteral("LC_ALL"), locale);
    env.insert(QStringLiteral("TMPDIR"), m_tmp->path());
    installer->setProcessEnvironment(env);
    installer->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    installer->start(program, arguments);
    if (!installer->waitForStarted())
        qWarning("installer did not start: %s", qPrintable(installer->errorString()));
    m_installers.push_back(std::move(installer));
    return m_installers.back().get();
}

QString tst_startup::startToMainWindow(QProcess *installer, const QString &tipTitle)
{
    const QString box = waitForWindow(installer, tipTitle);
    if (box.isEmpty()) {
        qWarning("no start-up warning titled %s", qPrintable(tipTitle));
        return QString();
    }
    if (!pressReturn(box))
        qWarning("could not press Return on the warning");
    return waitForWindow(installer, mainTitle);
}

QString tst_startup::probe(const QString &id)
{
    QProcess probe;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TMPDIR"), m_tmp->path());
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    probe.setProcessEnvironment(env);
    probe.start(QCoreApplication::applicationFilePath(), {QLatin1String(probeOption), id});
    if (!probe.waitForFinished(30000))
        return QStringLiteral("<no answer>");
    return QString::fromUtf8(probe.readAllStandardOutput()).trimmed();
}

void tst_startup::warningBoxComesFirst_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("tip");
    QTest::newRow("United States") << "en_US.UTF-8"
                                   << "Tip";
    QTest::newRow("United Kingdom") << "en_GB.UTF-8"
                                    << "Tip";
    QTest::newRow("German") << "de_DE.UTF-8" << chineseTip;
    QTest::newRow("Japanese") << "ja_JP.UTF-8" << chineseTip;
}

void tst_startup::warningBoxComesFirst()
{
    QFETCH(QString, locale);
    QFETCH(QString, tip);
    QProcess *installer = startInstaller({}, locale);
    const QString box = waitForWindow(installer, tip);
    QVERIFY2(!box.isEmpty(), "no start-up warning");
    // Only the warning is up: the window waits for its answer.
    QCOMPARE(visibleWindows(installer->processId()), QStringList{box});

    QVERIFY(pressReturn(box));
    const QString window = waitForWindow(installer, mainTitle);
    QVERIFY2(!window.isEmpty(), "no installer window after the warning");
    QTRY_VERIFY_WITH_TIMEOUT(!visibleWindows(installer->processId()).contains(box), 30000);

    QVERIFY(closeWindow(window));
    QVERIFY(installer->waitForFinished(30000));
    QCOMPARE(installer->exitStatus(), QProcess::NormalExit);
    QCOMPARE(installer->exitCode(), 0);
}

void tst_startup::arguments_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("none") << QStringList();
    QTest::newRow("channel") << QStringList{"setup_web01#kvtst-a7f3c"};
    QTest::newRow("two") << QStringList{"setup_web01-a7f3c", "extra"};
    QTest::newRow("toolkit option only") << QStringList{"-style", "fusion"};
    QTest::newRow("non-ASCII") << QStringList{"渠道_网站ü#kvtst-数字"};
    QTest::newRow("empty") << QStringList{""};
    QTest::newRow("very long") << QStringList{QString(5000, QLatin1Char('x')) + "-y"};
}

void tst_startup::arguments()
{
    QFETCH(QStringList, arguments);
    QProcess *installer = startInstaller(arguments);
    const QString window = startToMainWindow(installer);
    QVERIFY2(!window.isEmpty(), "the installer window did not open");
    QCOMPARE(installer->state(), QProcess::Running);
    QVERIFY(closeWindow(window));
    QVERIFY(installer->waitForFinished(30000));
    QCOMPARE(installer->exitStatus(), QProcess::NormalExit);
    QCOMPARE(installer->exitCode(), 0);
}

void tst_startup::secondCopyRaisesFirst()
{
    QProcess *first = startInstaller();
    const QString window = startToMainWindow(first);
    QVERIFY(!window.isEmpty());

    QVERIFY(
        m_display.xdotool({QStringLiteral("windowminimize"), QStringLiteral("--sync"), window}));
    QTRY_VERIFY_WITH_TIMEOUT(!visibleWindows(first->processId()).contains(window), 30000);

    QProcess *second = startInstaller();
    QVERIFY(second->waitForFinished(30000));
    QCOMPARE(second->exitStatus(), QProcess::NormalExit);
    QCOMPARE(second->exitCode(), 0);

    // The first copy's window is back on screen.
    QTRY_VERIFY_WITH_TIMEOUT(visibleWindows(first->processId()).contains(window), 30000);
    QCOMPARE(first->state(), QProcess::Running);
}

void tst_startup::secondCopyDuringWarning()
{
    QProcess *first = startInstaller();
    const QString box = waitForWindow(first, chineseTip);
    QVERIFY(!box.isEmpty());

    QProcess *second = startInstaller();
    QVERIFY(second->waitForFinished(30000));
    QCOMPARE(second->exitCode(), 0);
    // No window yet to raise: the first copy still shows only its warning, and goes on after it.
    QCOMPARE(visibleWindows(first->processId()), QStringList{box});
    QVERIFY(pressReturn(box));
    QVERIFY(!waitForWindow(first, mainTitle).isEmpty());
}

void tst_startup::copiesStartedTogether()
{
    for (int round = 0; round < 3; ++round) {
        init();
        QProcess *a = startInstaller();
        QProcess *b = startInstaller();
        // One of them leaves at once with 0; the other shows its warning.
        QTRY_VERIFY_WITH_TIMEOUT(
            a->state() == QProcess::NotRunning || b->state() == QProcess::NotRunning, 30000);
        QProcess *gone = a->state() == QProcess::NotRunning ? a : b;
        QProcess *stays = gone == a ? b : a;
        QCOMPARE(gone->exitStatus(), QProcess::NormalExit);
        QCOMPARE(gone->exitCode(), 0);
        QVERIFY(!waitForWindow(stays, chineseTip).isEmpty());
        QCOMPARE(stays->state(), QProcess::Running);
        cleanup();
    }
}

void tst_startup::otherBrandRunsBeside()
{
    QProcess *installer = startInstaller();
    QVERIFY(!startToMainWindow(installer).isEmpty());

    // The id of this brand is taken, the other brand's id is free.
    QCOMPARE(probe(QString::fromLatin1(Product::applicationId)), QStringLiteral("running"));
    QCOMPARE(probe(otherBrandId()), QStringLiteral("first"));

    const QString sibling = otherBrandInstaller();
    if (sibling.isEmpty()) {
        qInfo("the other brand is not built beside this one; its id was checked above");
        return;
    }
    QProcess *other = startInstaller({}, QStringLiteral("C.UTF-8"), sibling);
    QVERIFY2(!startToMainWindow(other).isEmpty(), "the other brand's window did not open");
    QCOMPARE(installer->state(), QProcess::Running);
}

void tst_startup::crashedCopyDoesNotBlock()
{
    QProcess *crashed = startInstaller();
    QVERIFY(!waitForWindow(crashed, chineseTip).isEmpty());
    crashed->kill();
    QVERIFY(crashed->waitForFinished());

    // Its lock is left behind, but its owner is gone: the next copy starts normally.
    QProcess *next = startInstaller();
    QVERIFY(!startToMainWindow(next).isEmpty());
}

void tst_startup::stoppedCopyDoesNotHangSecond()
{
    QProcess *stopped = startInstaller();
    QVERIFY(!waitForWindow(stopped, chineseTip).isEmpty());
    QCOMPARE(::kill(pid_t(stopped->processId()), SIGSTOP), 0);

    // Nobody answers the second copy's message; it still leaves, with 0.
    QProcess *second = startInstaller();
    const bool finished = second->waitForFinished(60000);
    ::kill(pid_t(stopped->processId()), SIGCONT);
    QVERIFY(finished);
    QCOMPARE(second->exitStatus(), QProcess::NormalExit);
    QCOMPARE(second->exitCode(), 0);
}

int main(int argc, char **argv)
{
    if (argc > 2 && qstrcmp(argv[1], probeOption) == 0)
        return runProbe(argc, argv);
    QCoreApplication app(argc, argv);
    tst_startup test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_startup.moc"
