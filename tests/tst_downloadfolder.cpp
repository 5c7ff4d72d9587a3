#include "install/downloadmanager.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QtTest>

// Without an application object the download location is the user's whole data folder, which a
// download manager must leave alone.
class tst_downloadfolder : public QObject
{
    Q_OBJECT

private slots:
    void dataFolderSurvivesWithoutApplicationName()
    {
        QVERIFY(!QCoreApplication::instance());
        QStandardPaths::setTestModeEnabled(true);
        const QString dataFolder =
            QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
        QCOMPARE(dataFolder, QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation));
        QVERIFY(QDir().mkpath(dataFolder));
        QFile other(dataFolder + QStringLiteral("/another-program.dat"));
        QVERIFY2(other.open(QIODevice::WriteOnly), qPrintable(other.errorString()));
        other.write("kept");
        other.close();

        DownloadManager manager;

        QVERIFY(other.exists());
        QFile::remove(other.fileName());
    }
};

QTEST_APPLESS_MAIN(tst_downloadfolder)
#include "tst_downloadfolder.moc"
