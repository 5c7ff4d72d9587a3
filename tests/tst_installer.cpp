#include "core/product.h"
#include "install/uninstallentry.h"
#include "support/installerharness.h"
#include "support/testfiles.h"

#include <QDirIterator>
#include <QLocalServer>
#include <QTranslator>
#include <QtTest>

#include <algorithm>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Points on the window: the 5-pixel margin, the place on the page, half the size.
const QPoint installButton(5 + 245 + 80, 5 + 252 + 25);
const QPoint startButton(5 + 245 + 80, 5 + 209 + 25);
const QPoint agreementBox(5 + 20 + 7, 5 + 335 + 7);

// Processes whose working folder is folder: 7-Zip, while it unpacks there.
int workingIn(const QString &folder)
{
    int found = 0;
    for (const QString &pid : QDir("/proc").entryList(QDir::Dirs))
        found += QFile::symLinkTarget("/proc/" + pid + "/cwd") == folder;
    return found;
}

// Every file, folder and link below folder (links not followed) with its content or target,
// but for the given places.
QStringList snapshot(const QString &folder, const QStringList &leftOut)
{
    QStringList found;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo entry(it.next());
        if (std::none_of(leftOut.cbegin(), leftOut.cend(),
                         [&](const QString &place) { return entry.filePath().startsWith(place); }))
            found << entry.filePath() + ' ' +
                         (entry.isSymLink() ? entry.symLinkTarget()
                          : entry.isDir()   ? QString()
                                            : QString(TestFiles::read(entry.filePath()).toHex()));
    }
    found.sort();
    return found;
}

bool endsWell(QProcess *installer, int timeoutMs = 30000)
{
    return (installer->state() == QProcess::NotRunning || installer->waitForFinished(timeoutMs)) &&
           installer->exitStatus() == QProcess::NormalExit && installer->exitCode() == 0;
}

} // namespace

// The real installer on a private display, driven with keys and clicks as a user drives it.
class tst_installer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(h.preparePackages() && h.startDisplay());
        QVERIFY(m_chinese.load(":/kovraSetupOnline/language/kovrasetuponline_zh.qm"));
    }
    void init() { QVERIFY(h.beginRun()); }
    void cleanup()
    {
        h.endRun();
        QVERIFY(h.display().setDpi(96));
    }

    void startup_data()
    {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("channel");
        QTest::newRow("US, none") << "en_US.UTF-8" << QStringList() << "Default";
        QTest::newRow("UK, two") << "en_GB.UTF-8" << QStringList{"x_web01-1", "x_b-2"} << "web01";
        QTest::newRow("German") << "de_DE.UTF-8" << QStringList{"-style", "fusion"} << "Default";
        QTest::newRow("Japanese") << "ja_JP.UTF-8" << QStringList{"-reverse", "x_w2-7"} << "w2";
    }
    void startup()
    {
        QFETCH(QString, locale);
        QFETCH(QStringList, arguments);
        QFETCH(QString, channel);
        // English on an English system, Chinese on any other.
        const QString tip = locale.startsWith("en") ? "Tip" : "提示";
        QProcess *installer = h.start(arguments, locale);
        const QString box = h.waitForWindow(installer, tip);
        // The warning comes first and alone: the window waits for its answer.
        QCOMPARE(h.windowsOf(installer), QStringList{box});
        QVERIFY(h.key(box, "Return"));
        const QString window = h.waitForWindow(installer, "kovraSetupOnline");
        // The records tell which channel the installer took.
        QVERIFY(h.click(window, agreementBox));
        QTRY_VERIFY_WITH_TIMEOUT(h.btnIds().contains("pc-install-check"), 60000);
        QCOMPARE(h.server().recordValues("apkChannel"), QStringList{channel});
        QVERIFY(h.key(window, "alt+F4"));
        QVERIFY(endsWell(installer));
    }

    void displayScale_data()
    {
        QTest::addColumn<int>("dpi");
        QTest::addColumn<QString>("locale");
        QTest::newRow("100 %, Chinese") << 96 << "C.UTF-8";
        QTest::newRow("125 %, English") << 120 << "en_US.UTF-8";
        QTest::newRow("150 %, Chinese") << 144 << "C.UTF-8";
        QTest::newRow("200 %, English") << 192 << "en_US.UTF-8";
    }
    void displayScale()
    {
        QFETCH(int, dpi);
        QFETCH(QString, locale);
        const QString tip = locale.startsWith("en") ? "Tip" : "提示";
        // The warning box at 100 % first: at the display's scale it is the same box, scaled.
        QProcess *installer = h.start({}, locale);
        const QSize box = h.display().windowSize(h.waitForWindow(installer, tip));
        installer->kill();
        QVERIFY(installer->waitForFinished() && h.display().setDpi(dpi));
        installer = h.start({}, locale);
        const QString warning = h.waitForWindow(installer, tip);
        QVERIFY(h.display().isScaled(warning, box, dpi));
        QVERIFY(h.key(warning, "Return"));
        QVERIFY(
            h.display().isScaled(h.waitForWindow(installer, "kovraSetupOnline"), {660, 370}, dpi));
    }

    void secondCopy()
    {
        QProcess *first = h.start();
        const QString window = h.openWindow(first);
        QVERIFY(h.xdotool({"windowminimize", "--sync", window}));
        QTRY_VERIFY_WITH_TIMEOUT(!h.windowsOf(first).contains(window), 30000);
        // A home of its own shows what the second copy writes: nothing, not even its log.
        QProcess *second = h.start({}, "C.UTF-8", {"HOME=" + h.home() + "/second"});
        QVERIFY(endsWell(second));
        QTRY_VERIFY_WITH_TIMEOUT(h.windowsOf(first).contains(window), 30000);
        QVERIFY(!QFileInfo::exists(h.home() + "/second"));
        QVERIFY(QFileInfo::exists(h.logFile()));
    }

    void copiesStartedTogether()
    {
        for (int round = 0; round < 3; ++round) {
            QVERIFY(h.beginRun());
            QProcess *a = h.start();
            QProcess *b = h.start();
            // One leaves at once with 0, the other shows its warning.
            QTRY_VERIFY_WITH_TIMEOUT(
                a->state() != QProcess::Running || b->state() != QProcess::Running, 30000);
            QProcess *gone = a->state() != QProcess::Running ? a : b;
            QVERIFY(endsWell(gone));
            QVERIFY(!h.waitForWindow(gone == a ? b : a, "提示").isEmpty());
        }
    }

    void otherInstallerRunning_data()
    {
        QTest::addColumn<bool>("english");
        QTest::newRow("English") << true;
        QTest::newRow("Chinese") << false;
    }
    void otherInstallerRunning()
    {
        QFETCH(bool, english);
        const QString locale = english ? "en_US.UTF-8" : "C.UTF-8", tip = english ? "Tip" : "提示";
        const QString text = english
                                 ? "Another installation is running. Please start this installer "
                                   "again when it has finished."
                                 : "另一个安装程序正在运行，请在它结束后再运行本安装程序。";
        QProcess *first = h.start({}, locale);
        QVERIFY(!h.openWindow(first, tip).isEmpty());
        const QString marker = h.downloadFolder() + "/marker";
        QVERIFY(TestFiles::write(marker, "kept"));

        // The other brand: another single-instance id, the same download folder. The same program
        // with a temporary folder of its own stands in for it.
        QProcess *second = h.start({}, locale, {"TMPDIR=" + h.home()});
        const QString box = h.waitForWindow(second, tip);
        QCOMPARE(h.boxText(box), text);
        QVERIFY(h.key(box, "Return"));
        QVERIFY(endsWell(second));
        QCOMPARE(TestFiles::read(marker), QByteArray("kept"));
        QCOMPARE(first->state(), QProcess::Running);
    }

    // What a crash, a stranger or a read-only disk left where the installer keeps its files, and
    // the name its file was saved under: it takes over a lock no live installer holds, or says
    // what stops it and where. The user's own files stay.
    void leftBehind_data()
    {
        QTest::addColumn<QString>("left");
        QTest::addColumn<QString>("message"); // empty: the installer starts
        QTest::addColumn<QString>("where");   // in the message, below the home folder
        const auto row = [](const char *tag, const char *left, const char *message = "",
                            const char *where = "") {
            QTest::newRow(tag) << QString(left) << QString(message) << QString(where);
        };
        const char *lock = "/.local/share/kovraSetupOnline.lock";
        row("saved as Trash", "Trash");
        row("started as .", ".");
        row("locks emptied by a crash", "empty");
        // Whatever listens under the copies' name there decides nothing.
        row("instance lock a folder", "instance folder");
        row("download lock a folder", "folder", "language13", lock);
        row("download lock a pipe", "pipe", "language13", lock);
        // The toolkit reads it before it takes a lock over that no live process holds.
        row("download lock's companion a pipe", "companion pipe", "language13", lock);
        row("log a pipe", "log pipe");
        row("log a link to the user's file", "log link");
        row("read-only download folder", "read-only", "language14",
            "/.local/share/kovraSetupOnline");
        row("read-only data folder", "read-only", "language14", "/.local/share");
        // Whoever else can change the download folder could change the package in it between its
        // check and its unpacking.
        row("download folder others can write", "others write", "language17",
            "/.local/share/kovraSetupOnline");
        row("download folder another account's", "foreign", "language17",
            "/.local/share/kovraSetupOnline");
        // The toolkit's name for the home would be a new folder beside it.
        row("home named in another encoding", "home not text", "language18",
            "/\uFFFD/.local/share/kovraSetupOnline");
    }
    void leftBehind()
    {
        QFETCH(QString, left);
        QFETCH(QString, message);
        QFETCH(QString, where);
        const QString data = h.home() + "/.local/share", lock = h.downloadFolder() + ".lock";
        QVERIFY(TestFiles::write(data + "/Trash/files/a", "kept") &&
                TestFiles::write(data + "/a", "kept") && QDir().mkpath(h.downloadFolder()));
        QStringList launcher;
        if (left == "Trash" || left == ".")
            launcher = QStringList{"bash", "-c", "exec -a '" + left + "' \"$0\""};
        const QString mount = "mount -t tmpfs -o ro,mode=0755 tmpfs \"$1\" && shift && exec \"$@\"";
        if (left == "read-only")
            launcher = QStringList{"unshare", geteuid() ? "-rm" : "-m", "sh", "-c", mount, "sh"}
                       << h.home() + where;
        const QByteArray realHome = QFile::encodeName(h.home()) + "/\xff";
        const auto removeRealHome = qScopeGuard([&realHome] { ::rmdir(realHome); });
        if (left == "home not text") {
            QVERIFY(::mkdir(realHome, 0700) == 0);
            launcher = QStringList{
                "sh", "-c", "HOME=\"$HOME/$(printf '\\377')\"; export HOME; exec \"$@\"", "sh"};
        }
        QVERIFY(left != "others write" ||
                ::chmod(QFile::encodeName(h.downloadFolder()), 0777) == 0);
        if (left == "foreign" && ::chown(QFile::encodeName(h.downloadFolder()), 65534, 65534) != 0)
            QSKIP("only the superuser can give a folder to another account");
        QLocalServer stranger;
        if (left == "empty" || left == "instance folder") {
            QProcess *crashed = h.start();
            QVERIFY(!h.waitForWindow(crashed, "提示").isEmpty());
            crashed->kill();
            QVERIFY(crashed->waitForFinished());
            const QString instance =
                h.home() + "/tmp/" + QDir(h.home() + "/tmp").entryList({"*.lock"}).value(0);
            QVERIFY(left == "empty" ? QFile::resize(lock, 0) && QFile::resize(instance, 0)
                                    : QFile::remove(instance) && QDir().mkpath(instance));
            QLocalServer::removeServer(instance.chopped(5));
            QVERIFY(left == "empty" || stranger.listen(instance.chopped(5)));
        }
        QVERIFY(left != "folder" || QDir().mkpath(lock));
        const QString log = h.logFile();
        QVERIFY(QDir().mkpath(QFileInfo(log).path()) &&
                (left != "log link" || QFile::link(data + "/a", log)));
        const QString pipe = left == "pipe" ? lock : left == "log pipe" ? log : lock + ".rmlock";
        QVERIFY(!left.endsWith("pipe") || QProcess::execute("mkfifo", {pipe}) == 0);
        QVERIFY(left != "companion pipe" || TestFiles::write(lock, "999999999\n"));
        QProcess *installer = h.start({}, "C.UTF-8", {}, launcher);
        const QString box = h.waitForWindow(installer, "提示");
        if (message.isEmpty()) {
            QVERIFY(h.key(box, "Return") &&
                    !h.waitForWindow(installer, "kovraSetupOnline").isEmpty());
            // The folders of the installer's own name, whatever its file is called; the download
            // folder its own alone.
            QVERIFY(QFileInfo(lock).isFile() && QFileInfo::exists(h.logFile()));
            struct stat folder;
            QVERIFY(::stat(QFile::encodeName(h.downloadFolder()), &folder) == 0 &&
                    (folder.st_mode & 07777) == 0700);
        } else {
            const QString path = h.home() + where;
            QCOMPARE(h.boxText(box), m_chinese.translate("QObject", qPrintable(message)).arg(path));
            QVERIFY(h.key(box, "Return") && endsWell(installer));
        }
        QCOMPARE(TestFiles::read(data + "/Trash/files/a") + TestFiles::read(data + "/a"),
                 "keptkept");
        // Nothing was made in the real home, nor beside it.
        QVERIFY(left != "home not text" ||
                (::rmdir(realHome) == 0 && !QFileInfo::exists(h.home() + "/\uFFFD")));
    }

    void previousInstallation_data()
    {
        QTest::addColumn<QString>("entry");
        QTest::addColumn<bool>("runs");
        QTest::addColumn<QString>("answer"); // empty: no question is expected
        QTest::newRow("Yes runs the uninstaller first") << "script" << true << "alt+y";
        QTest::newRow("No, the default, runs nothing") << "script" << false << "Return";
        QTest::newRow("Yes, the uninstaller is gone") << "missing" << false << "alt+y";
        QTest::newRow("an empty entry asks nothing") << "empty" << false << "";
        // Shown to be waited for, and ended when the user goes on.
        QTest::newRow("Yes, the uninstaller never ends") << "hanging" << true << "alt+y";
    }
    void previousInstallation()
    {
        QFETCH(QString, entry);
        QFETCH(bool, runs);
        QFETCH(QString, answer);
        const QString folder = h.home() + "/Program Files/Old Product";
        const QString script = folder + "/un inst";
        // It reads its input: nothing may wait for an answer nobody types. It hands its work to
        // a process of its own and ends at once, as one that runs a copy of itself does.
        const QByteArray work = entry == "hanging" ? "sleep 600" : "sleep 2; touch end";
        const QByteArray body = "#!/bin/sh\ncd \"$(dirname \"$0\")\"\ntouch start\nread answer\n(" +
                                work + ") & echo $! >pid\n";
        QVERIFY((entry != "script" && entry != "hanging") ||
                (TestFiles::write(script, body) &&
                 QFile::setPermissions(script, QFile::ReadOwner | QFile::ExeOwner)));
        // Written where and as an install writes it, named in the language of the run.
        qputenv("HOME", QFile::encodeName(h.home()));
        qunsetenv("XDG_CONFIG_HOME");
        QTranslator english;
        QVERIFY(english.load(":/kovraSetupOnline/language/kovrasetuponline_en.qm"));
        const QString command = entry == "empty" ? QString() : script;
        const QString name = english.translate("InstallThread", Product::displayNameKey);
        QVERIFY(UninstallEntry::write(name, command, command));
        QProcess *installer = h.start({}, "en_US.UTF-8");
        const QString warning = h.waitForWindow(installer, "Tip");
        QVERIFY(h.key(warning, "Return"));
        const QString question =
            answer.isEmpty() ? warning : h.waitForWindow(installer, "Tip", warning);
        QVERIFY(answer.isEmpty() || h.key(question, answer));
        // The user sees the installer wait, and goes on.
        QVERIFY(entry != "hanging" || h.key(h.waitForWindow(installer, "Tip", question), "Return"));
        QVERIFY(!h.waitForWindow(installer, "kovraSetupOnline").isEmpty());
        // When it runs, the window comes only after it has ended, or has been ended.
        QCOMPARE(QFileInfo::exists(folder + "/start"), runs);
        QCOMPARE(QFileInfo::exists(folder + "/end"), runs && entry != "hanging");
        const QString pid = TestFiles::read(folder + "/pid").trimmed();
        QTRY_VERIFY(!QFileInfo::exists("/proc/" + pid)); // once the system has collected it
    }

    void installAndStart()
    {
        // Each record is held up to 300 ms at random: records posted side by side would overtake.
        QVERIFY(h.beginRun(300));
        QProcess *installer = h.start({"setup_kvrun-77"});
        const QString window = h.openWindow(installer);
        QVERIFY(h.click(window, installButton));
        QTRY_VERIFY_WITH_TIMEOUT(h.btnIds().contains("pc-install-success"), 60000);
        QCOMPARE(h.linksIntoInstall().size(), 3);
        const QString uninstaller = h.installDir() + Product::uninstallerExecutable;
        QVERIFY(TestFiles::read(h.uninstallList()).contains(uninstaller.toUtf8()));
        // The start button starts the product, waits for the last record and ends the installer.
        QVERIFY(h.click(window, startButton));
        QVERIFY(endsWell(installer));
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(h.installDir() + "/started"), 15000);
        QCOMPARE(h.btnIds(), QStringList({"pc-install-go", "pc-load-ok", "pc-install-success",
                                          "pc-install-setup"}));
        // The lock the ended run left behind is taken over: the next one starts.
        const QString next = h.waitForWindow(h.start(), "提示");
        QCOMPARE(h.boxText(next), m_chinese.translate("QObject", "language9"));
    }

    void cutShort_data()
    {
        QTest::addColumn<QString>("moment");
        QTest::newRow("while 7-Zip unpacks") << "unpack";
        QTest::newRow("the earlier installation aside") << "swap";
        QTest::newRow("while the links are made") << "links";
    }
    void cutShort()
    {
        QFETCH(QString, moment);
        // An earlier installation, its version and desktop link other than a new one would have.
        QProcess *first = h.start();
        QVERIFY(h.click(h.openWindow(first), installButton));
        QTRY_VERIFY_WITH_TIMEOUT(h.btnIds().contains("pc-install-success"), 60000);
        first->kill();
        first->waitForFinished();
        const QByteArray list = TestFiles::read(h.uninstallList());
        QVERIFY(TestFiles::write(h.uninstallList(), QByteArray(list).replace("=1.2.1", "=0.9")));
        const QString link =
            QDir(h.home() + "/Desktop")
                .entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)
                .value(0)
                .filePath();
        QVERIFY(QFile::remove(link) && QFile::link(h.installDir() + "/Uninstall", link));
        const QStringList others{h.home() + "/.cache", h.home() + "/tmp", h.downloadFolder()};
        const QStringList before = snapshot(h.home(), others);

        // The re-install, killed at that moment: by the test, or as it enters one system call.
        const QString staging = h.installDir() + ".partial",
                      staged = staging + "/Revanto_x64Minimal";
        const QString calls = moment == "swap" ? "rename,renameat,renameat2" : "symlink,symlinkat";
        const QStringList strace =
            QString("strace -D -f -o /dev/null -e %1 -e inject=%1:signal=KILL -P")
                .arg(calls)
                .split(' ')
            << (moment == "swap" ? staged : link);
        if (moment != "unpack" && QProcess::execute("strace", strace.mid(1) << "true") != 0)
            QSKIP("strace cannot trace here");
        QVERIFY(moment != "unpack" || h.usePackage("big"));
        QProcess *again = h.start({}, "C.UTF-8", {}, moment == "unpack" ? QStringList() : strace);
        const QString warning = h.waitForWindow(again, "提示");
        QVERIFY(h.key(warning, "Return")); // and No to uninstalling the earlier one first
        QVERIFY(h.key(h.waitForWindow(again, "提示", warning), "Return"));
        QVERIFY(h.click(h.waitForWindow(again, "kovraSetupOnline"), installButton));
        if (moment == "unpack") {
            QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(staged + "/data/filler-0010.bin"), 60000);
            again->kill();
            // 7-Zip ends with the installer: the package is never unpacked whole.
            QTRY_COMPARE_WITH_TIMEOUT(workingIn(staging), 0, 60000);
            QVERIFY(!QFileInfo::exists(staged + "/data/filler-3000.bin"));
        }
        QVERIFY((again->state() == QProcess::NotRunning || again->waitForFinished(60000)) &&
                again->exitStatus() == QProcess::CrashExit);
        // Killed before the swap, between its two renames, or after it.
        QVERIFY(QFileInfo::exists(staging));
        QCOMPARE(QFileInfo::exists(h.installDir() + ".old"), moment != "unpack");
        QCOMPARE(QFileInfo::exists(h.installDir()), moment != "swap");

        // The next start puts the earlier installation back before its warning.
        QProcess *third = h.start();
        QVERIFY(!h.waitForWindow(third, "提示").isEmpty());
        QCOMPARE(snapshot(h.home(), others), before);
        QVERIFY(TestFiles::read(h.logFile()).contains("was cut short"));
    }

    void systemCloseDuringInstall()
    {
        QVERIFY(h.usePackage("big"));
        QProcess *installer = h.start();
        const QString window = h.openWindow(installer);
        QVERIFY(h.click(window, installButton));
        QTRY_VERIFY_WITH_TIMEOUT(h.btnIds().contains("pc-load-ok"), 60000);
        QVERIFY2(!QFileInfo::exists(h.installDir() + "/Uninstall.list"), "the install ended first");
        // Refused: the window stays, the install ends and reports; then the close is allowed.
        QVERIFY(h.key(window, "alt+F4"));
        QTRY_VERIFY_WITH_TIMEOUT(h.btnIds().contains("pc-install-success"), 60000);
        QVERIFY(h.windowsOf(installer).contains(window));
        QVERIFY(h.key(window, "alt+F4"));
        QVERIFY(endsWell(installer));
    }

    void systemCloseDuringStalledDownload()
    {
        h.server().setPackageMode("stall");
        QProcess *installer = h.start();
        const QString window = h.openWindow(installer);
        QVERIFY(h.click(window, installButton));
        QTRY_VERIFY_WITH_TIMEOUT(!h.server().requestPaths("GET").isEmpty(), 30000);
        // Ended long before the server's silence would fail the transfer, no thread left running,
        // no partial package left behind.
        QVERIFY(h.key(window, "alt+F4"));
        QVERIFY(endsWell(installer, 20000));
        QCOMPARE(h.downloads(), QStringList());
    }

private:
    InstallerHarness h;
    QTranslator m_chinese;
};

int main(int argc, char **argv)
{
    if (InstallerHarness::printSelection(argc, argv))
        return 0;
    QCoreApplication app(argc, argv);
    tst_installer test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_installer.moc"
