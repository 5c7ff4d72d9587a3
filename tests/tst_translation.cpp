#include "app/product.h"
#include "app/translation.h"
#include "ui/kovrasetuponline.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QProcess>
#include <QTranslator>
#include <QtTest>

#include <cstdio>

namespace {

const char reportOption[] = "--report-texts";
const QString reminder =
    QStringLiteral("温馨提示：请勿将本程序安装至您需要恢复的分区，以免待恢复的数据文件被覆盖！");
const QString progressText = QStringLiteral("正在安装，请稍后（已完成0%）");

// Run in a child process: the system locale is read from the environment when a program starts.
int reportTexts(int argc, char **argv)
{
    QApplication app(argc, argv);
    loadTranslation();
    kovraSetupOnline window;
    QJsonObject texts;
    texts[QStringLiteral("language2")] = QObject::tr("language2");
    texts[QStringLiteral("language9")] = QObject::tr("language9");
    texts[QStringLiteral("language1")] =
        QCoreApplication::translate("kovraSetupOnline", "language1");
    texts[QStringLiteral("language8")] = QCoreApplication::translate("InstallThread", "language8");
    texts[QStringLiteral("title")] = window.windowTitle();
    for (const char *name : {"label_3", "label_23", "proTxt", "lb_size1", "label_30", "label_7"}) {
        const auto *label = window.findChild<QLabel *>(QLatin1String(name));
        texts[QLatin1String(name)] = label ? label->text() : QStringLiteral("<missing>");
    }
    std::fputs(QJsonDocument(texts).toJson(QJsonDocument::Compact).constData(), stdout);
    return 0;
}

} // namespace

class tst_translation : public QObject
{
    Q_OBJECT

private slots:
    void languageRule_data();
    void languageRule();
    void catalogue_data();
    void catalogue();
};

void tst_translation::languageRule_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<bool>("english");
    QTest::newRow("United States") << "en_US.UTF-8" << true;
    QTest::newRow("United Kingdom") << "en_GB.UTF-8" << true;
    QTest::newRow("German") << "de_DE.UTF-8" << false;
    QTest::newRow("Japanese") << "ja_JP.UTF-8" << false;
    QTest::newRow("Chinese") << "zh_CN.UTF-8" << false;
    QTest::newRow("plain C") << "C" << false;
}

void tst_translation::languageRule()
{
    QFETCH(QString, locale);
    QFETCH(bool, english);

    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"LANGUAGE", "LC_MESSAGES", "LC_NUMERIC", "LC_CTYPE"})
        env.remove(QLatin1String(name));
    env.insert(QStringLiteral("LANG"), locale);
    env.insert(QStringLiteral("LC_ALL"), locale);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::SeparateChannels);
    child.start(QCoreApplication::applicationFilePath(), {QLatin1String(reportOption)});
    QVERIFY2(child.waitForFinished(60000), qPrintable(child.errorString()));
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    QCOMPARE(child.exitCode(), 0);
    QJsonParseError error;
    const QJsonObject texts =
        QJsonDocument::fromJson(child.readAllStandardOutput(), &error).object();
    QVERIFY2(error.error == QJsonParseError::NoError, qPrintable(error.errorString()));

    const QString display =
        english ? (Product::variantFlag ? "Ovanta RecoveryMaster2" : "Ovanta RecoveryMaster")
                : (Product::variantFlag ? "Zentaro数据恢复" : "Lumerix恢复大师");
    if (english) {
        QCOMPARE(texts["language2"].toString(), QStringLiteral("Tip"));
        // Backslash and n are two visible characters of the warning, not a line break.
        QCOMPARE(texts["language9"].toString(),
                 QStringLiteral("Please do not install this program to the partition you need to "
                                "restore, \\nto avoid overwriting the files to be restored!"));
        QCOMPARE(texts["language1"].toString(),
                 QStringLiteral("Installing, please wait (completed"));
        QCOMPARE(texts["label_7"].toString(),
                 QStringLiteral("Insufficient disk space, please choose another installation "
                                "directory to install!"));
    } else {
        QCOMPARE(texts["language2"].toString(), QStringLiteral("提示"));
        QCOMPARE(texts["language9"].toString(),
                 QStringLiteral("请勿将本程序安装到你需要恢复的分区，以免要恢复的文件被覆盖！"));
        QCOMPARE(texts["language1"].toString(), QStringLiteral("正在安装，请稍后（已完成"));
        QCOMPARE(texts["label_7"].toString(),
                 QStringLiteral("磁盘空间不足，请选择其他安装目录进行安装！"));
    }
    QCOMPARE(texts["label_3"].toString(), display);
    // The finished page names the alternative product in Chinese under every language.
    QCOMPARE(texts["label_30"].toString(),
             Product::variantFlag ? QStringLiteral("Zentaro数据恢复") : display);
    QCOMPARE(texts["language8"].toString(), QStringLiteral("卸载"));
    QCOMPARE(texts["title"].toString(), QStringLiteral("kovraSetupOnline"));
    QCOMPARE(texts["label_23"].toString(), reminder);
    QCOMPARE(texts["proTxt"].toString(), progressText);
    QCOMPARE(texts["lb_size1"].toString(), QStringLiteral("212.1MB"));
}

void tst_translation::catalogue_data()
{
    QTest::addColumn<QString>("language");
    QTest::addColumn<QString>("context");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("text");
    const char *form = "kovraSetupOnlineClass";
    QTest::newRow("en: lower-case failure text") << "en"
                                                 << "kovraSetupOnline"
                                                 << "language5"
                                                 << "installation failed";
    QTest::newRow("en: uninstall prefix stays Chinese") << "en"
                                                        << "InstallThread"
                                                        << "language8"
                                                        << "卸载";
    QTest::newRow("en: question") << "en"
                                  << "QObject"
                                  << "language10"
                                  << "Detected that the program has been installed, do you want to "
                                     "uninstall the installed program?";
    QTest::newRow("en: escaped link text") << "en" << form << "自定义安装 >>"
                                           << "Custom installation >>";
    QTest::newRow("en: caption with blanks in the tags")
        << "en" << form
        << "<html><head/><body><p "
           "align=\"center\">专业数据恢复团队打造一键自助恢复</p></body></html>"
        << "<html> <head /> <body> <p align = \"center\"> Professional data recovery team creates "
           "one-click self-recovery </ p> </ body> </ html>";
    QTest::newRow("en: caption with a span")
        << "en" << form
        << "<html><head/><body><p "
           "align=\"center\"><span>支持电脑，硬盘，回收站，U盘，SD卡，相机等<br/>"
           "各类存储设备数据恢复</span></p></body></html>"
        << "<html><head/><body><p align=\"center\"><span>Support computer, hard disk, recycle bin, "
           "U disk, SD card, camera, etc. <br/> recovery of various storage devices</span></p>"
           "</body></html>";
    QTest::newRow("en: caption without its last bracket")
        << "en" << form
        << "<html><head/><body><p "
           "align=\"center\">支持照片，文档，视频，邮件，音乐<br/>等550+种文件格恢复</p></body></"
           "html>"
        << "<html><head/><body><p align = \"center\"> Support 550+ kinds of file format recovery "
           "such as photos, documents, videos, emails, music <br/> </ p> </ body> </ html";
    // Untranslated entries and missing ones show their key.
    QTest::newRow("en: window title") << "en" << form << "kovraSetupOnline"
                                      << "kovraSetupOnline";
    QTest::newRow("en: free space placeholder") << "en" << form << "12.2GB"
                                                << "12.2GB";
    QTest::newRow("en: folder dialog caption") << "en"
                                               << "kovraSetupOnline"
                                               << "Open Directory"
                                               << "Open Directory";
    QTest::newRow("en: reminder") << "en" << form << reminder << reminder;
    QTest::newRow("en: progress text") << "en" << form << progressText << progressText;
    QTest::newRow("en: key of another context") << "en"
                                                << "QObject"
                                                << "language1"
                                                << "language1";

    QTest::newRow("zh: close question") << "zh"
                                        << "kovraSetupOnline"
                                        << "language3"
                                        << "已经安装成功，是否关闭安装程序？";
    QTest::newRow("zh: display name") << "zh"
                                      << "QObject"
                                      << "language7"
                                      << "Lumerix恢复大师";
    QTest::newRow("zh: alternative display name") << "zh"
                                                  << "InstallThread"
                                                  << "language6"
                                                  << "Zentaro数据恢复";
    QTest::newRow("zh: form text maps to itself") << "zh" << form << "浏览"
                                                  << "浏览";
    QTest::newRow("zh: rich text maps to itself")
        << "zh" << form
        << "<html><head/><body><p "
           "align=\"center\">专业数据恢复团队打造一键自助恢复</p></body></html>"
        << "<html><head/><body><p "
           "align=\"center\">专业数据恢复团队打造一键自助恢复</p></body></html>";
    QTest::newRow("zh: reminder") << "zh" << form << reminder << reminder;
}

void tst_translation::catalogue()
{
    QFETCH(QString, language);
    QFETCH(QString, context);
    QFETCH(QString, key);
    QFETCH(QString, text);
    QTranslator translator;
    QVERIFY(translator.load(QStringLiteral(":/kovraSetupOnline/language/kovrasetuponline_") +
                            language + QStringLiteral(".qm")));
    // A lookup without a translation shows the key itself.
    const QString found =
        translator.translate(context.toUtf8().constData(), key.toUtf8().constData());
    QCOMPARE(found.isEmpty() ? key : found, text);
}

int main(int argc, char **argv)
{
    if (argc > 1 && qstrcmp(argv[1], reportOption) == 0)
        return reportTexts(argc, argv);
    QApplication app(argc, argv);
    tst_translation test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_translation.moc"
