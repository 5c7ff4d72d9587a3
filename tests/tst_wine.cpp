#include "support/vendorserver.h"
#include "support/xvfbdisplay.h"

#include <QtTest>

#include <memory>

namespace {

const QString buildRoot = QStringLiteral(KOVRA_SOURCE_DIR "/build");
// Points on the window: the frame's margin, the button's place on its page, half its size.
const QPoint installButton(5 + 245 + 80, 5 + 252 + 25);
const QPoint startButton(5 + 245 + 80, 5 + 209 + 25);
const int wineTimeout = 180000;

QString readText(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

} // namespace

// The cross-built Windows installer of each brand under Wine on a private display, clicked
// through by xdotool against the local vendor server: the whole install a Windows user sees.
class tst_Wine : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void install_data();
    void install();
    void untrustedDownloadFolder();
    void signatures();
    void cleanup();

private:
    // A fresh Windows at this scale with the window's fonts, the single file in its C: drive;
    // the user's profile folder.
    QString makePrefix(int dpi, const QString &single);
    // Runs a Windows program in the prefix (or a Wine tool) and waits; its standard output.
    QByteArray wine(const QStringList &arguments, const QString &tool = "wine");
    bool click(const QString &window, QPoint point) const
    {
        return m_display.xdotool({"mousemove", "--window", window, QString::number(point.x()),
                                  QString::number(point.y()), "click", "1"});
    }

    XvfbDisplay m_display;
    QProcessEnvironment m_env;
    std::unique_ptr<QTemporaryDir> m_prefix;
};

void tst_Wine::initTestCase()
{
    QVERIFY(m_display.start());
    QVERIFY(m_display.startWindowManager());
    m_env = m_display.environment();
    m_env.remove("QT_QPA_PLATFORM");
    // Wine takes C.UTF-8 for US English (English texts), and needs a UTF-8 locale for the
    // uninstaller link's Chinese name. No desktop menu entries, no Mono or Gecko download.
    for (const char *name : {"LANG", "LC_ALL"})
        m_env.insert(name, "C.UTF-8");
    m_env.insert("WINEDEBUG", "-all");
    m_env.insert("WINEDLLOVERRIDES", "winemenubuilder.exe=d;mscoree=d;mshtml=d");
}

void tst_Wine::cleanup()
{
    // The prefix's session ends as a Windows session does, its services with it; only what is
    // left after that is killed with the server. A kill alone can miss a service that is just
    // starting, which then outlives the test and holds its output open.
    if (m_prefix) {
        wine({"wineboot", "--end-session", "--shutdown", "--force"});
        QProcess server;
        server.setProcessEnvironment(m_env);
        server.start("wineserver", {"--wait"});
        if (!server.waitForFinished(30000))
            wine({"-k"}, "wineserver");
    }
    m_prefix.reset();
}

QByteArray tst_Wine::wine(const QStringList &arguments, const QString &tool)
{
    QProcess process;
    process.setProcessEnvironment(m_env);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(tool, arguments);
    if (!process.waitForFinished(wineTimeout) || process.exitCode() != 0)
        qWarning("%s %s failed", qPrintable(tool), qPrintable(arguments.join(' ')));
    return process.readAllStandardOutput();
}

void tst_Wine::install_data()
{
    QTest::addColumn<QString>("brand");
    QTest::addColumn<QString>("product");
    QTest::addColumn<QString>("displayName");
    // Recent Windows 11 has no wmic: the identifier must not change without it.
    QTest::addColumn<bool>("withWmic");
    // The display's scale, as the prefix's LogPixels sets it.
    QTest::addColumn<int>("dpi");
    QTest::newRow("standard, 100 %") << "standard"
                                     << "lumerix"
                                     << "Ovanta RecoveryMaster" << true << 96;
    QTest::newRow("green, 200 %, no wmic") << "green"
                                           << "zentaro"
                                           << "Ovanta RecoveryMaster2" << false << 192;
}

void tst_Wine::install()
{
    QFETCH(QString, brand);
    QFETCH(QString, product);
    QFETCH(QString, displayName);
    QFETCH(bool, withWmic);
    QFETCH(int, dpi);
    const QString build = buildRoot + "/windows-" + brand;
    QVERIFY(QDir().mkpath(build + "/wine-screens"));
    const auto screenshot = [&](const char *name) {
        QTest::qWait(1000);
        m_display.run("import", {"-window", "root", build + "/wine-screens/" + name + ".png"});
    };

    // The package: the stand-in product (also as uninstaller) and filler, stored uncompressed
    // for a download long enough to be seen.
    QTemporaryDir work;
    const QString folder = work.filePath("Revanto_x64Minimal");
    QVERIFY(QDir().mkpath(folder + "/data"));
    for (const char *role : {"MasterRecovery.exe", "MasterUninst.exe"})
        QVERIFY(QFile::copy(buildRoot + "/windows-sample/sample_product.exe",
                            folder + '/' + product + role));
    QFile filler(folder + "/data/filler.bin");
    QVERIFY(filler.open(QIODevice::WriteOnly) && filler.write(QByteArray(2 << 20, 'x')) > 0);
    filler.close();
    VendorServer server;
    const QString archive = server.packageFolder() + '/' + product + "Setupx64_min.7z";
    QCOMPARE(QProcess::execute("7z", {"a", "-mx=0", "-bso0", archive, folder}), 0);
    // The production server that the Windows build names.
    const QRegularExpression named("KOVRA_PRODUCTION_SERVER_URL:STRING=http://127.0.0.1:(\\d+)");
    const QString port = named.match(readText(build + "/CMakeCache.txt")).captured(1);
    QVERIFY2(server.start(port.toUShort()), "the Windows build names no loopback server");
    // Signed with the test command's key, when the Windows build carries one.
    const QString key = buildRoot + "/test-key/minisign";
    const QString builtKey = QRegularExpression("KOVRA_PACKAGE_PUBLIC_KEY:STRING=(\\S*)")
                                 .match(readText(build + "/CMakeCache.txt"))
                                 .captured(1);
    QVERIFY2(builtKey.isEmpty() || readText(key + ".pub").contains(builtKey),
             "the Windows build carries a key other than the test command's");
    QVERIFY(builtKey.isEmpty() ||
            QProcess::execute("minisign", {"-S", "-q", "-s", key + ".key", "-m", archive}) == 0);
    server.setPackageMode("slow-1024");

    const QString single = product + "MasterInstaller.exe";
    const QString profile = makePrefix(dpi, build + '/' + single);
    const QString driveC = m_prefix->filePath("drive_c");
    const QString wmic = driveC + "/windows/system32/wbem/wmic.exe";
    if (!withWmic)
        QVERIFY(QFile::rename(wmic, wmic + ".gone"));

    // It runs the installer from a folder of its own under the temporary folder, with the
    // channel, and leaves nothing there. Only administrators and the system may change that
    // folder: Wine keeps no access list, only the folder's mode made from it, which would let
    // everyone read (an entry for Everyone) without one.
    const auto unpacked = [&profile] {
        QDirIterator it(profile + "/Temp", {"kovraSetupOnline.exe"}, QDir::Files,
                        QDirIterator::Subdirectories);
        return it.hasNext() ? QFileInfo(it.next()).path() : QString();
    };
    QProcess installer;
    installer.setProcessEnvironment(m_env);
    installer.setProcessChannelMode(QProcess::ForwardedChannels);
    installer.start("wine", {"C:\\" + single, "setup_winedl-19"});
    const QStringList warning = m_display.waitForWindows("^Tip$", wineTimeout);
    QVERIFY2(!warning.isEmpty(), "no start-up warning");
    screenshot("01-warning");
    const QFileInfo unpackedFolder(unpacked());
    QVERIFY(unpackedFolder.isDir());
    QCOMPARE(unpackedFolder.permissions() &
                 (QFile::ReadOther | QFile::WriteOther | QFile::ExeOther),
             QFile::Permissions());
    QVERIFY(m_display.pressKey(warning.first(), "Return"));
    const QStringList windows = m_display.waitForWindows("^kovraSetupOnline$");
    QVERIFY2(!windows.isEmpty(), "the installer window did not open");
    screenshot("02-custom-install");
    QVERIFY(m_display.isScaled(windows.first(), {660, 370}, dpi));
    QVERIFY(click(windows.first(), installButton * dpi / 96));
    QVERIFY(server.waitForRecords(1, 30000));
    screenshot("03-progress");
    QVERIFY2(server.waitForRecords(3, wineTimeout), "the install did not finish");
    screenshot("04-finished");
    // The installer asked for the signature (and installed only because it verified).
    QCOMPARE(server.requestPaths("GET").filter(".7z.minisig").size(), builtKey.isEmpty() ? 0 : 1);

    // The product, the bookkeeping files and every file the distribution lists.
    const QString installDir = driveC + "/Program Files/" + product + "MasterRecovery";
    const QString nativeDir = "C:\\Program Files\\" + product + "MasterRecovery";
    for (const QString &file :
         QStringList{product + "MasterRecovery.exe", "Qt5Encry.dll", "Uninstall.list"})
        QVERIFY2(QFileInfo::exists(installDir + '/' + file), qPrintable(file));
    QCOMPARE(readText(installDir + "/Uninstall").trimmed(), "rd/s/q \"" + nativeDir + '"');
    const QStringList shipped =
        readText(build + "/dist/distribution.list").split('\n', Qt::SkipEmptyParts);
    QVERIFY(shipped.contains("platforms/qwindows.dll"));
    for (const QString &file : shipped)
        QVERIFY2(QFileInfo::exists(installDir + '/' + file) == (file != "kovraSetupOnline.exe"),
                 qPrintable(file));
    // The links: on the desktop, and the product's and its uninstaller's in the start menu.
    const QString menu = profile + "/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/";
    for (const QString &place :
         QStringList{profile + "/Desktop/", menu + displayName + '/', menu + displayName + "/卸载"})
        QVERIFY2(QFileInfo(place + displayName + ".lnk").isFile(), qPrintable(place));
    const QString entry = QString::fromUtf8(
        wine({"reg", "query",
              "HKLM\\Software\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" +
                  displayName}));
    QVERIFY2(entry.contains(nativeDir + '/' + product + "MasterUninst.exe"), qPrintable(entry));

    // The start press runs the product and ends the installer with 0.
    QVERIFY(!QFileInfo::exists(installDir + "/started"));
    QVERIFY(click(windows.first(), startButton * dpi / 96));
    QVERIFY(installer.waitForFinished(60000));
    QCOMPARE(installer.exitCode(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(installDir + "/started"), 30000);
    QCOMPARE(server.recordValues("btnId"), QStringList({"pc-install-go", "pc-load-ok",
                                                        "pc-install-success", "pc-install-setup"}));
    QCOMPARE(server.recordValues("apkChannel").count("winedl"), 4);
    QVERIFY(unpacked().isEmpty());

    // Wine's wmic knows no "csproduct" and prints nothing: every record carries the MD5 of the
    // firmware table's system UUID as Windows reads it, the first three fields little-endian.
    // Wine's own management interface prints the bytes as they are stored.
    QFile::rename(wmic + ".gone", wmic);
    const QByteArray answer = wine({"wmic", "path", "Win32_ComputerSystemProduct", "get", "UUID"});
    QString uuid = QString::fromUtf16(reinterpret_cast<const char16_t *>(answer.constData()),
                                      answer.size() / 2)
                       .remove(QChar(0xfeff))
                       .remove("UUID")
                       .trimmed();
    uuid.replace(QRegularExpression("^(..)(..)(..)(..)-(..)(..)-(..)(..)-"),
                 "\\4\\3\\2\\1-\\6\\5-\\8\\7-");
    QVERIFY2(uuid.size() == 36, qPrintable(uuid));
    const QString id = QCryptographicHash::hash(uuid.toLatin1(), QCryptographicHash::Md5).toHex();
    QCOMPARE(server.recordValues("pcId").count(id), 4);
}

QString tst_Wine::makePrefix(int dpi, const QString &single)
{
    // Wine would draw a wide serif face instead of the window's fonts.
    m_prefix = std::make_unique<QTemporaryDir>();
    m_env.insert("WINEPREFIX", m_prefix->path());
    wine({"wineboot", "--init"});
    wine({"reg", "add", "HKCU\\Control Panel\\Desktop", "/v", "LogPixels", "/t", "REG_DWORD", "/d",
          QString::number(dpi), "/f"});
    for (const char *font :
         {"Microsoft YaHei", "PingFang SC", "PingFangSC-Regular", "PingFangSC-Medium"})
        wine({"reg", "add", "HKCU\\Software\\Wine\\Fonts\\Replacements", "/v", font, "/d",
              "Noto Sans CJK SC", "/f"});
    const QString driveC = m_prefix->filePath("drive_c");
    if (!QFile::copy(single, driveC + '/' + QFileInfo(single).fileName()))
        qWarning("cannot copy %s", qPrintable(single));
    QStringList users = QDir(driveC + "/users").entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    users.removeOne("Public");
    return driveC + "/users/" + users.value(0);
}

void tst_Wine::untrustedDownloadFolder()
{
    // A download folder that everyone may change (Wine shows the folder's mode as an access list)
    // is refused before anything is made or fetched: the installer says so and ends with 0, the
    // folder as it was.
    const QString profile =
        makePrefix(96, buildRoot + "/windows-standard/lumerixMasterInstaller.exe");
    const QString folder = profile + "/AppData/Roaming/kovraSetupOnline";
    QVERIFY(QDir().mkpath(folder) && QFile(folder + "/kept").open(QIODevice::WriteOnly));
    QVERIFY(QFile::setPermissions(folder, QFile::Permissions(0x7777)));
    QProcess installer;
    installer.setProcessEnvironment(m_env);
    installer.setProcessChannelMode(QProcess::ForwardedChannels);
    installer.start("wine", {"C:\\lumerixMasterInstaller.exe"});
    const QStringList box = m_display.waitForWindows("^Tip$", wineTimeout);
    QVERIFY2(!box.isEmpty(), "no message");
    QVERIFY(m_display.pressKey(box.first(), "Return"));
    QVERIFY2(installer.waitForFinished(60000), "the installer went on");
    QCOMPARE(installer.exitCode(), 0);
    QCOMPARE(QDir(folder).entryList(QDir::Files), QStringList{"kept"});
    QVERIFY(QFileInfo(folder).permissions() & QFile::WriteOther);
}

void tst_Wine::signatures()
{
    // The test command signs with a throw-away certificate: each brand's single file and every
    // program and DLL in it, as 7-Zip unpacks it.
    const QString ca = buildRoot + "/windows-signing/ca.pem";
    if (!QFileInfo::exists(ca))
        QSKIP("built without a certificate");
    QTemporaryDir unpacked;
    QStringList files;
    for (const char *single : {"/windows-standard/lumerixMasterInstaller.exe",
                               "/windows-green/zentaroMasterInstaller.exe"}) {
        files << buildRoot + single;
        QCOMPARE(
            QProcess::execute("7z", {"x", "-bso0", "-o" + unpacked.path() + single, files.last()}),
            0);
    }
    for (QDirIterator it(unpacked.path(), {"*.exe", "*.dll"}, QDir::Files,
                         QDirIterator::Subdirectories);
         it.hasNext();)
        files << it.next();
    QVERIFY(files.size() > 20);
    for (const QString &file : files) {
        QProcess verify;
        verify.start("osslsigncode", {"verify", "-CAfile", ca, "-in", file});
        QVERIFY(verify.waitForFinished(60000));
        QVERIFY2(verify.exitCode() == 0 && verify.readAll().contains("SHA256"), qPrintable(file));
    }
}

QTEST_GUILESS_MAIN(tst_Wine)
#include "tst_wine.moc"
