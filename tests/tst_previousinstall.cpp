#include "app/previousinstall.h"
#include "app/product.h"
#include "install/installthread.h"
#include "platform/platform.h"
#include "support/xvfbdisplay.h"

#include <QSettings>
#include <QTranslator>
#include <QtTest>

namespace {

const char *const otherBrandKey = Product::variantFlag ? "language7" : "language6";

void setUninstallString(const QString &displayName, const QString &command)
{
    Platform::openUninstallEntry(QLatin1String(Product::uninstallKeyRoot) + displayName)
        ->setValue(QStringLiteral("UninstallString"), command);
}

bool writeScript(const QString &path, const QByteArray &body, bool executable = true)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        qWarning("cannot write %s: %s", qPrintable(path), qPrintable(file.errorString()));
        return false;
    }
    file.write("#!/bin/sh\nhere=$(dirname \"$0\")\n" + body);
    file.close();
    return !executable || file.setPermissions(file.permissions() | QFileDevice::ExeOwner);
}

// Writes the time (seconds since the epoch) to a marker file beside the script.
QByteArray mark(const char *name)
{
    return QByteArray("date +%s.%N > \"$here/") + name + "\"\n";
}

double markTime(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed().toDouble() : -1;
}

} // namespace

class tst_PreviousInstall : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void checkAlreadyInstall_data();
    void checkAlreadyInstall();
    void sameNameInEveryCatalogue_data();
    void sameNameInEveryCatalogue();
    void runPreviousUninstaller_data();
    void runPreviousUninstaller();
    void startupOffersUninstall_data();
    void startupOffersUninstall();

private:
    QString home(const QString &relative) const { return m_home.filePath(relative); }

    QTemporaryDir m_home;
};

void tst_PreviousInstall::initTestCase()
{
    // The uninstall list lives in the home folder; the real installer started below shares it.
    QVERIFY(m_home.isValid());
    qputenv("HOME", QFile::encodeName(m_home.path()));
    for (const char *name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"})
        qunsetenv(name);
}

void tst_PreviousInstall::init()
{
    QDir(m_home.path()).removeRecursively();
    QVERIFY(QDir().mkpath(m_home.path()));
}

void tst_PreviousInstall::checkAlreadyInstall_data()
{
    QTest::addColumn<QString>("writer");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("expected");

    const QString uninstaller =
        "/opt/Program Files/lumerixMasterRecovery" + QLatin1String(Product::uninstallerExecutable);
    QTest::newRow("no entry") << "none" << QString() << QString();
    QTest::newRow("empty value") << "this brand" << QString() << QString();
    QTest::newRow("registered by an install") << "install" << QString() << uninstaller;
    QTest::newRow("other brand only") << "other brand"
                                      << "/opt/other/uninst" << QString();
}

void tst_PreviousInstall::checkAlreadyInstall()
{
    QFETCH(QString, writer);
    QFETCH(QString, value);
    QFETCH(QString, expected);

    if (writer == QLatin1String("this brand")) {
        setUninstallString(QObject::tr(Product::displayNameKey), value);
    } else if (writer == QLatin1String("other brand")) {
        setUninstallString(QObject::tr(otherBrandKey), value);
    } else if (writer == QLatin1String("install")) {
        InstallThread thread;
        thread.installDir = QStringLiteral("/opt/Program Files/lumerixMasterRecovery");
        thread.registerUninstall();
    }
    QTest::ignoreMessage(QtDebugMsg, qPrintable("checkAlreadyInstall \"" + expected + '"'));
    QCOMPARE(::checkAlreadyInstall(), expected);
}

void tst_PreviousInstall::sameNameInEveryCatalogue_data()
{
    QTest::addColumn<QString>("catalogue");
    QTest::newRow("English") << "en";
    QTest::newRow("Chinese") << "zh";
}

void tst_PreviousInstall::sameNameInEveryCatalogue()
{
    QFETCH(QString, catalogue);
    QTranslator translator;
    QVERIFY(translator.load(":/kovraSetupOnline/language/kovrasetuponline_" + catalogue + ".qm"));
    QCoreApplication::installTranslator(&translator);
    const QLatin1String key(Product::displayNameKey);
    const bool translated = QCoreApplication::translate("InstallThread", key.data()) != key &&
                            QObject::tr(key.data()) != key;

    // The install names the entry in its context, the start-up looks it up in its own.
    InstallThread thread;
    thread.installDir = home(QStringLiteral("product"));
    thread.registerUninstall();
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("^checkAlreadyInstall ")));
    const QString found = ::checkAlreadyInstall();
    QCoreApplication::removeTranslator(&translator);
    if (!translated)
        QSKIP("the catalogue has no display name yet");
    QCOMPARE(found, thread.installDir + QLatin1String(Product::uninstallerExecutable));
}

void tst_PreviousInstall::runPreviousUninstaller_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("executable");
    QTest::addColumn<bool>("runs");

    QTest::newRow("blanks in its path, waited for")
        << QByteArray("sleep 1\n" + mark("end")) << true << true;
    QTest::newRow("reads its input") << QByteArray("read answer\n" + mark("end")) << true << true;
    QTest::newRow("no such program") << QByteArray() << true << false;
    QTest::newRow("not a program") << QByteArray(mark("end")) << false << false;
}

void tst_PreviousInstall::runPreviousUninstaller()
{
    QFETCH(QByteArray, body);
    QFETCH(bool, executable);
    QFETCH(bool, runs);

    const QString script = home(QStringLiteral("Program Files/Old Product/un inst.exe"));
    if (!body.isEmpty())
        QVERIFY(writeScript(script, body, executable));
    QTest::ignoreMessage(QtDebugMsg, qPrintable('"' + script + '"'));
    ::runPreviousUninstaller(script);
    QCOMPARE(QFileInfo::exists(QFileInfo(script).path() + QStringLiteral("/end")), runs);
}

void tst_PreviousInstall::startupOffersUninstall_data()
{
    QTest::addColumn<QString>("answer");
    QTest::addColumn<bool>("runs");
    QTest::newRow("Yes") << "alt+y" << true;
    QTest::newRow("No is the default") << "Return" << false;
}

void tst_PreviousInstall::startupOffersUninstall()
{
    QFETCH(QString, answer);
    QFETCH(bool, runs);

    XvfbDisplay display;
    QVERIFY(display.start());
    // Keys go to the box they are meant for only when it has the focus: the window manager
    // gives it, however slowly the box comes up.
    QVERIFY(display.startWindowManager());
    const QString script = home(QStringLiteral("Program Files/Old Product/un inst.exe"));
    QVERIFY(writeScript(script, mark("start") + "sleep 2\n" + mark("end")));
    const QString folder = QFileInfo(script).path();

    // The installer names the entry in its own language: English here, with or without the
    // catalogue in place.
    QTranslator english;
    QVERIFY(english.load(QStringLiteral(":/kovraSetupOnline/language/kovrasetuponline_en.qm")));
    QCoreApplication::installTranslator(&english);
    setUninstallString(QObject::tr(Product::displayNameKey), script);
    QCoreApplication::removeTranslator(&english);
    setUninstallString(QLatin1String(Product::displayNameKey), script);

    // A private temporary folder keeps this copy apart from installers other tests start.
    QTemporaryDir temp;
    QProcessEnvironment environment = display.environment();
    environment.insert(QStringLiteral("LANG"), QStringLiteral("en_US.UTF-8"));
    environment.remove(QStringLiteral("LC_ALL"));
    environment.remove(QStringLiteral("LC_MESSAGES"));
    environment.remove(QStringLiteral("LANGUAGE"));
    environment.insert(QStringLiteral("TMPDIR"), temp.path());
    QProcess installer;
    installer.setProcessEnvironment(environment);
    installer.setProcessChannelMode(QProcess::MergedChannels);
    installer.start(QStringLiteral(KOVRA_INSTALLER_PATH), QStringList());
    QVERIFY2(installer.waitForStarted(), qPrintable(installer.errorString()));
    auto stopInstaller = qScopeGuard([&installer] {
        installer.kill();
        installer.waitForFinished();
    });

    // The start-up warning, then the question; both boxes carry the same title.
    const QString boxTitle = QStringLiteral("^(Tip|language2|提示)$");
    const QStringList warning = display.waitForWindows(boxTitle);
    QVERIFY2(!warning.isEmpty(), installer.readAll().constData());
    QVERIFY(display.pressKey(warning.first(), QStringLiteral("Return")));
    // The question is the box that was not there before.
    const auto newBox = [&display, &boxTitle, &warning] {
        for (const QString &box : display.findWindows(boxTitle))
            if (!warning.contains(box))
                return box;
        return QString();
    };
    QString question;
    QTRY_VERIFY_WITH_TIMEOUT(!(question = newBox()).isEmpty(), 30000);
    QVERIFY(display.pressKey(question, answer));

    QVERIFY2(!display.waitForWindows(QStringLiteral("^kovraSetupOnline$")).isEmpty(),
             installer.readAll().constData());
    const double shown = QDateTime::currentMSecsSinceEpoch() / 1000.0;
    QCOMPARE(QFileInfo::exists(folder + QStringLiteral("/start")), runs);
    if (runs) {
        const double ended = markTime(folder + QStringLiteral("/end"));
        QVERIFY2(ended > 0, "the uninstaller did not finish before the window appeared");
        QVERIFY2(ended <= shown, qPrintable(QStringLiteral("window at %1, uninstaller ended at %2")
                                                .arg(shown, 0, 'f', 3)
                                                .arg(ended, 0, 'f', 3)));
    }
}

QTEST_GUILESS_MAIN(tst_PreviousInstall)
#include "tst_previousinstall.moc"
