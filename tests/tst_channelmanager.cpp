#include "app/channelmanager.h"

#include <QRegularExpression>
#include <QtTest>

// ChannelManager is a process-wide singleton and parseChannel only overwrites what an argument
// provides. The channel table describes a fresh instance, so every row first parses "Default":
// an argument without "-", "_" or "#" sets all three fields to exactly the constructor's values.
class tst_channelmanager : public QObject
{
    Q_OBJECT

private:
    static void resetToFreshState()
    {
        QTest::ignoreMessage(QtDebugMsg, "\"Default\" 1");
        ChannelManager::instance()->parseChannel(QStringLiteral("Default"));
    }

private slots:
    void freshInstanceHasDefaults();
    void resetReachesFreshState();
    void channelTable_data();
    void channelTable();
    void parsingKeepsWhatTheArgumentDoesNotSet_data();
    void parsingKeepsWhatTheArgumentDoesNotSet();
    void tokenDependsOnlyOnType_data();
    void tokenDependsOnlyOnType();
};

// Runs first: nothing has parsed yet in this process.
void tst_channelmanager::freshInstanceHasDefaults()
{
    ChannelManager *manager = ChannelManager::instance();
    QVERIFY(manager);
    QCOMPARE(ChannelManager::instance(), manager);
    QCOMPARE(manager->channelName(), QStringLiteral("Default"));
    QCOMPARE(manager->channelType(), 1);
    QCOMPARE(manager->channelId(), QStringLiteral("0000000000000000"));
}

void tst_channelmanager::resetReachesFreshState()
{
    ChannelManager *manager = ChannelManager::instance();
    QTest::ignoreMessage(QtDebugMsg, "CCCCCCCCCCCCCCCCCCC \"x\" \"kvtst\" 0 \"abc\"");
    manager->parseChannel(QStringLiteral("p_x#kvtst-abc"));
    resetToFreshState();
    QCOMPARE(manager->channelName(), QStringLiteral("Default"));
    QCOMPARE(manager->channelType(), 1);
    QCOMPARE(manager->channelId(), QStringLiteral("0000000000000000"));
}

void tst_channelmanager::channelTable_data()
{
    QTest::addColumn<QString>("argument");
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("id");
    QTest::addColumn<QString>("debugLine");

    const QString zeros = QStringLiteral("0000000000000000");
    QTest::newRow("empty") << QString() << "Default" << 1 << zeros << "\"Default\" 1";
    QTest::newRow("name only") << "web01"
                               << "web01" << 1 << zeros << "\"web01\" 1";
    QTest::newRow("prefix and name") << "setup_web01"
                                     << "web01" << 1 << zeros << "\"web01\" 1";
    QTest::newRow("with id") << "setup_web01-a7f3c"
                             << "web01" << 1 << "a7f3c"
                             << "\"web01\" 1";
    QTest::newRow("test word") << "setup_web01#kvtst-a7f3c"
                               << "web01" << 0 << "a7f3c"
                               << "CCCCCCCCCCCCCCCCCCC \"web01\" \"kvtst\" 0 \"a7f3c\"";
    QTest::newRow("other word") << "setup_web01#beta-a7f3c"
                                << "web01" << 1 << "a7f3c"
                                << "CCCCCCCCCCCCCCCCCCC \"web01\" \"beta\" 1 \"a7f3c\"";
    QTest::newRow("test word in upper case")
        << "setup_web01#KVTST-a7f3c"
        << "web01" << 1 << "a7f3c"
        << "CCCCCCCCCCCCCCCCCCC \"web01\" \"KVTST\" 1 \"a7f3c\"";
    QTest::newRow("only last dash and first underscore count, id cut to 16")
        << "setup_web-01_x-abcdefghijklmnopqr"
        << "web-01_x" << 1 << "abcdefghijklmnop"
        << "\"web-01_x\" 1";
    QTest::newRow("dash in first place") << "-a7f3c"
                                         << "-a7f3c" << 1 << zeros << "\"-a7f3c\" 1";
    QTest::newRow("trailing dash gives empty id") << "setup_web01-"
                                                  << "web01" << 1 << ""
                                                  << "\"web01\" 1";
    QTest::newRow("further hashes stay in the word")
        << "a_b#c#d"
        << "b" << 1 << zeros << "CCCCCCCCCCCCCCCCCCC \"b\" \"c#d\" 1 \"0000000000000000\"";
    QTest::newRow("test word without name") << "setup_#kvtst"
                                            << "" << 0 << zeros
                                            << "CCCCCCCCCCCCCCCCCCC \"\" \"kvtst\" 0 "
                                               "\"0000000000000000\"";
    QTest::newRow("underscore only") << "_"
                                     << "" << 1 << zeros << "\"\" 1";
}

void tst_channelmanager::channelTable()
{
    QFETCH(QString, argument);
    QFETCH(QString, name);
    QFETCH(int, type);
    QFETCH(QString, id);
    QFETCH(QString, debugLine);

    resetToFreshState();
    ChannelManager *manager = ChannelManager::instance();
    QTest::ignoreMessage(QtDebugMsg, qPrintable(debugLine));
    manager->parseChannel(argument);

    QCOMPARE(manager->channelName(), name);
    QCOMPARE(manager->channelType(), type);
    QCOMPARE(manager->channelId(), id);
}

void tst_channelmanager::parsingKeepsWhatTheArgumentDoesNotSet_data()
{
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("second");
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("id");

    QTest::newRow("empty argument keeps the id")
        << "setup_web01-a7f3c" << QString() << "Default" << 1 << "a7f3c";
    QTest::newRow("other word keeps the test type") << "setup_web01#kvtst-a7f3c"
                                                    << "setup_web02#beta-b1"
                                                    << "web02" << 0 << "b1";
    QTest::newRow("no word sets the normal type") << "setup_web01#kvtst-a7f3c"
                                                  << "setup_web02-b1"
                                                  << "web02" << 1 << "b1";
}

// The installer parses once per run; these rows pin what a second parse of the singleton does.
void tst_channelmanager::parsingKeepsWhatTheArgumentDoesNotSet()
{
    QFETCH(QString, first);
    QFETCH(QString, second);
    QFETCH(QString, name);
    QFETCH(int, type);
    QFETCH(QString, id);

    resetToFreshState();
    ChannelManager *manager = ChannelManager::instance();
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral(".")));
    manager->parseChannel(first);
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral(".")));
    manager->parseChannel(second);

    QCOMPARE(manager->channelName(), name);
    QCOMPARE(manager->channelType(), type);
    QCOMPARE(manager->channelId(), id);
}

void tst_channelmanager::tokenDependsOnlyOnType_data()
{
    QTest::addColumn<QStringList>("normalArguments");
    QTest::addColumn<QStringList>("testArguments");

    QTest::newRow("table arguments")
        << QStringList{QString(),
                       "web01",
                       "setup_web01-a7f3c",
                       "setup_web01#beta-a7f3c",
                       "setup_web01#KVTST-a7f3c",
                       "-a7f3c",
                       "_",
                       "a_b#c#d"}
        << QStringList{"setup_web01#kvtst-a7f3c", "setup_#kvtst", "x_other#kvtst-0123456789abcdef"};
}

void tst_channelmanager::tokenDependsOnlyOnType()
{
    QFETCH(QStringList, normalArguments);
    QFETCH(QStringList, testArguments);

    ChannelManager *manager = ChannelManager::instance();
    const QRegularExpression tokenForm(QStringLiteral("^[0-9a-f]{32}$"));
    QString tokenOfType[2];
    const QList<QPair<int, QStringList>> groups{{1, normalArguments}, {0, testArguments}};
    for (const auto &group : groups) {
        for (const QString &argument : group.second) {
            resetToFreshState();
            QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral(".")));
            manager->parseChannel(argument);
            QCOMPARE(manager->channelType(), group.first);
            const QString token = manager->channelToken();
            QVERIFY2(tokenForm.match(token).hasMatch(), qPrintable(token));
            QString &expected = tokenOfType[group.first];
            if (expected.isEmpty())
                expected = token;
            QVERIFY2(token == expected, qPrintable(argument));
        }
    }
    QVERIFY(tokenOfType[0] != tokenOfType[1]);
}

QTEST_GUILESS_MAIN(tst_channelmanager)
#include "tst_channelmanager.moc"
