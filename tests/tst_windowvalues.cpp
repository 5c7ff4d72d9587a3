#include "app/product.h"
#include "ui/drivespace.h"
#include "ui/progressmapping.h"

#include <QtTest>

#include <cmath>
#include <limits>

// The arithmetic and decisions behind the install page and the progress bar, fed with the maps
// and values the window would pass in.
class tst_WindowValues : public QObject
{
    Q_OBJECT

private slots:
    void freeSpaceCheck_data();
    void freeSpaceCheck();
    void gigabyteText_data();
    void gigabyteText();
    void productFolder_data();
    void productFolder();
    void progressPercent_data();
    void progressPercent();
    void shownValue_data();
    void shownValue();
};

void tst_WindowValues::freeSpaceCheck_data()
{
    QTest::addColumn<quint64>("freeBytes");
    QTest::addColumn<QString>("asked");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("enough");

    const QString drive = QStringLiteral("/media/data");
    QTest::newRow("one byte short") << quint64(209715199) << drive << "0.20GB" << false;
    QTest::newRow("exactly 200 MiB") << quint64(209715200) << drive << "0.20GB" << true;
    QTest::newRow("empty drive") << quint64(0) << drive << "0.00GB" << false;
    QTest::newRow("plenty") << quint64(13100000000) << drive << "12.20GB" << true;
    QTest::newRow("unknown drive") << quint64(13100000000) << "/proc" << QString() << false;
    QTest::newRow("empty key") << quint64(13100000000) << QString() << QString() << false;
    QTest::newRow("drive letter is not a root")
        << quint64(13100000000) << "/media" << QString() << false;
}

void tst_WindowValues::freeSpaceCheck()
{
    QFETCH(quint64, freeBytes);
    QFETCH(QString, asked);
    QFETCH(QString, text);
    QFETCH(bool, enough);

    // The maps as the drive scan fills them: a small system drive beside the measured one.
    const QString drive = QStringLiteral("/media/data");
    QMap<QString, quint64> bytes{{QStringLiteral("/"), 1024}, {drive, freeBytes}};
    QMap<QString, QString> texts;
    for (auto it = bytes.cbegin(); it != bytes.cend(); ++it)
        texts.insert(it.key(), DriveSpace::formatGigabytes(DriveSpace::gigabytes(it.value())));

    const DriveSpace::Verdict verdict = DriveSpace::check(texts, bytes, asked);
    QCOMPARE(verdict.text, text);
    QCOMPARE(verdict.enough, enough);
}

void tst_WindowValues::gigabyteText_data()
{
    QTest::addColumn<quint64>("bytes");
    QTest::addColumn<QString>("text");
    QTest::newRow("one GiB") << quint64(1073741824) << "1.00GB";
    QTest::newRow("thirteen billion") << quint64(13100000000) << "12.20GB";
    QTest::newRow("nothing") << quint64(0) << "0.00GB";
    QTest::newRow("just under half a hundredth") << quint64(5368708) << "0.00GB";
}

void tst_WindowValues::gigabyteText()
{
    QFETCH(quint64, bytes);
    QFETCH(QString, text);
    QCOMPARE(DriveSpace::formatGigabytes(DriveSpace::gigabytes(bytes)), text);
}

void tst_WindowValues::productFolder_data()
{
    QTest::addColumn<QString>("chosen");
    QTest::addColumn<QString>("folder");
    const QString name = QLatin1String(Product::productFolderName);
    QTest::newRow("drive root") << "D:/"
                                << "D:" + name;
    QTest::newRow("volume root") << "/" << name;
    QTest::newRow("plain folder") << "/home/user/Apps"
                                  << "/home/user/Apps" + name;
    QTest::newRow("network path loses one slash") << "//server/share"
                                                  << "/server/share" + name;
    QTest::newRow("double slash inside") << "/home//user"
                                         << "/home/user" + name;
    QTest::newRow("blanks kept") << "/opt/Program Files"
                                 << "/opt/Program Files" + name;
}

void tst_WindowValues::productFolder()
{
    QFETCH(QString, chosen);
    QFETCH(QString, folder);
    QCOMPARE(DriveSpace::productFolder(chosen), folder);
}

void tst_WindowValues::progressPercent_data()
{
    QTest::addColumn<double>("per");
    QTest::addColumn<bool>("shown");
    QTest::addColumn<int>("percent");

    const double infinity = std::numeric_limits<double>::infinity();
    QTest::newRow("zero") << 0.0 << true << 0;
    QTest::newRow("truncated") << 79.9 << true << 79;
    QTest::newRow("hundred") << 100.0 << true << 100;
    QTest::newRow("a little under zero") << -0.5 << true << 0;
    QTest::newRow("negative") << -42.0 << true << 0;
    QTest::newRow("over a hundred") << 100.7 << true << 100;
    QTest::newRow("far beyond int") << 1e300 << true << 100;
    QTest::newRow("not a number") << std::nan("") << false << 0;
    QTest::newRow("infinite") << infinity << false << 0;
    QTest::newRow("minus infinite") << -infinity << false << 0;
}

void tst_WindowValues::progressPercent()
{
    QFETCH(double, per);
    QFETCH(bool, shown);
    QFETCH(int, percent);
    const std::optional<int> p = ProgressMapping::percent(per);
    QCOMPARE(p.has_value(), shown);
    if (shown)
        QCOMPARE(*p, percent);
}

void tst_WindowValues::shownValue_data()
{
    QTest::addColumn<int>("phase");
    QTest::addColumn<int>("p");
    QTest::addColumn<int>("value");

    QTest::newRow("download starts at 0") << 0 << 0 << 0;
    QTest::newRow("download 79 shows 63") << 0 << 79 << 63;
    QTest::newRow("download 100 shows 80") << 0 << 100 << 80;
    QTest::newRow("download 1 shows 0") << 0 << 1 << 0;
    QTest::newRow("install 0 shows 80") << 1 << 0 << 80;
    QTest::newRow("install 50 shows 90") << 1 << 50 << 90;
    QTest::newRow("install 99 shows 99") << 1 << 99 << 99;
    QTest::newRow("install 100 shows 100") << 1 << 100 << 100;
    QTest::newRow("late progress after success") << 2 << 100 << 100;
    QTest::newRow("below the range") << 0 << -5 << 0;
    QTest::newRow("above the range") << 1 << 250 << 100;
}

void tst_WindowValues::shownValue()
{
    QFETCH(int, phase);
    QFETCH(int, p);
    QFETCH(int, value);
    QCOMPARE(ProgressMapping::shownValue(phase, p), value);
}

QTEST_APPLESS_MAIN(tst_WindowValues)
#include "tst_windowvalues.moc"
