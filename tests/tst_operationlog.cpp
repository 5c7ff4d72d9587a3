#include "app/channelmanager.h"
#include "app/product.h"
#include "report/machineid.h"
#include "report/operationlog.h"
#include "report/operationlogrecord.h"
#include "support/vendorserver.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTcpServer>
#include <QtTest>

namespace {

const QString contentType = QStringLiteral("application/json;charset=utf-8");

// The body the server must receive, members in ascending key order.
QString expectedBody(const QString &channelJson, const QString &idJson, const QString &btnIdJson,
                     const QString &pcId)
{
    const int apkId = Product::variantFlag ? 27 : 25;
    return QStringLiteral("{\"apkChannel\":") + channelJson + QStringLiteral(",\"apkId\":") +
           QString::number(apkId) +
           QStringLiteral(",\"apkVersionCode\":1,\"apkVersionName\":\"1.2.1\",\"btnId\":") +
           btnIdJson + QStringLiteral(",\"pcId\":\"") + pcId + QStringLiteral("\",\"phoneId\":") +
           idJson +
           QStringLiteral(",\"phoneMaker\":\"\",\"phoneModel\":\"\",\"phoneOs\":2,"
                          "\"phoneOsVersion\":\"\",\"type\":38}");
}

// A loopback port nobody listens on.
quint16 closedPort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    const quint16 port = probe.serverPort();
    probe.close();
    return port;
}

void expectPostMessages(const QString &serverUrl, const QString &phoneId, const QString &pcId,
                        const QString &btnId)
{
    QTest::ignoreMessage(QtDebugMsg, qPrintable(QLatin1Char('"') + serverUrl + QLatin1Char('"')));
    QTest::ignoreMessage(QtDebugMsg,
                         qPrintable(QStringLiteral("phoneId \"") + phoneId +
                                    QStringLiteral("\" pcId \"") + pcId + QLatin1Char('"')));
    QTest::ignoreMessage(
        QtDebugMsg, qPrintable(QStringLiteral("opration log:  \"") + btnId + QLatin1Char('"')));
}

} // namespace

class tst_operationlog : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void recordBody_data();
    void recordBody();
    void postCarriesBodyAndContentType_data();
    void postCarriesBodyAndContentType();
    void managerIsCreatedOnceAndKeepsNoReplies();
    void unreachableServerChangesNothing_data();
    void unreachableServerChangesNothing();

private:
    QString m_pcId;
    VendorServer m_server;
    QObject m_managerParent;
    QNetworkAccessManager *m_manager = nullptr;
};

void tst_operationlog::initTestCase()
{
    m_pcId = getMachineId();
    QVERIFY(QRegularExpression(QStringLiteral("^[0-9a-f]{32}$")).match(m_pcId).hasMatch());
    QVERIFY(m_server.start(0));
}

void tst_operationlog::recordBody_data()
{
    QTest::addColumn<QString>("channelName");
    QTest::addColumn<QString>("channelId");
    QTest::addColumn<QString>("btnId");
    QTest::addColumn<QString>("channelJson");
    QTest::addColumn<QString>("idJson");
    QTest::addColumn<QString>("btnIdJson");

    QTest::newRow("channel with id") << "web01"
                                     << "a7f3c"
                                     << "pc-install-go"
                                     << "\"web01\""
                                     << "\"a7f3c\""
                                     << "\"pc-install-go\"";
    QTest::newRow("default channel") << "Default"
                                     << "0000000000000000"
                                     << "pc-install-close"
                                     << "\"Default\""
                                     << "\"0000000000000000\""
                                     << "\"pc-install-close\"";
    QTest::newRow("channel never set sends empty strings") << QString() << QString() << "pc-load-ok"
                                                           << "\"\""
                                                           << "\"\""
                                                           << "\"pc-load-ok\"";
    QTest::newRow("negative failure code") << "web01"
                                           << ""
                                           << "pc-load-failedcode--100"
                                           << "\"web01\""
                                           << "\"\""
                                           << "\"pc-load-failedcode--100\"";
    QTest::newRow("quote, backslash and Chinese")
        << QStringLiteral("渠道\"a\\b") << "id\t1"
        << "pc-install-check" << QStringLiteral("\"渠道\\\"a\\\\b\"") << "\"id\\t1\""
        << "\"pc-install-check\"";
}

void tst_operationlog::recordBody()
{
    QFETCH(QString, channelName);
    QFETCH(QString, channelId);
    QFETCH(QString, btnId);
    QFETCH(QString, channelJson);
    QFETCH(QString, idJson);
    QFETCH(QString, btnIdJson);

    g_channelName = channelName;
    g_channelId = channelId;
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("^phoneId \".*\" pcId \"") +
                                                        m_pcId + QStringLiteral("\"$")));
    const OperationLogRecord record(btnId);

    QCOMPARE(record.toJson(), expectedBody(channelJson, idJson, btnIdJson, m_pcId));
}

void tst_operationlog::postCarriesBodyAndContentType_data()
{
    QTest::addColumn<QString>("channelName");
    QTest::addColumn<QString>("channelId");
    QTest::addColumn<QString>("btnId");
    QTest::addColumn<QString>("channelJson");

    QTest::newRow("plain") << "web01"
                           << "a7f3c"
                           << "pc-install-go"
                           << "\"web01\"";
    QTest::newRow("UTF-8 on the wire") << QStringLiteral("渠道") << "a7f3c"
                                       << "pc-install-failedcode-4" << QStringLiteral("\"渠道\"");
}

void tst_operationlog::postCarriesBodyAndContentType()
{
    QFETCH(QString, channelName);
    QFETCH(QString, channelId);
    QFETCH(QString, btnId);
    QFETCH(QString, channelJson);

    g_channelName = channelName;
    g_channelId = channelId;
    const int before = m_server.recordLines().size();
    expectPostMessages(m_server.baseUrl(), channelId, m_pcId, btnId);
    postOperationLog(m_manager, &m_managerParent, m_server.baseUrl(), btnId);

    QVERIFY(m_server.waitForRecords(before + 1));
    const QString body = m_server.recordLines().at(before);
    QCOMPARE(body, expectedBody(channelJson, QLatin1Char('"') + channelId + QLatin1Char('"'),
                                QLatin1Char('"') + btnId + QLatin1Char('"'), m_pcId));

    const QJsonObject request = m_server.requests().constLast();
    QCOMPARE(request.value(QStringLiteral("method")).toString(), QStringLiteral("POST"));
    QCOMPARE(request.value(QStringLiteral("path")).toString(), QStringLiteral("/v1/operationLog"));
    QCOMPARE(request.value(QStringLiteral("contentType")).toString(), contentType);
    QCOMPARE(request.value(QStringLiteral("length")).toInt(), body.toUtf8().size());
}

void tst_operationlog::managerIsCreatedOnceAndKeepsNoReplies()
{
    QNetworkAccessManager *manager = nullptr;
    QObject parent;
    g_channelName = QStringLiteral("web01");
    g_channelId = QStringLiteral("a7f3c");
    const int before = m_server.recordLines().size();

    expectPostMessages(m_server.baseUrl(), g_channelId, m_pcId, QStringLiteral("pc-install-min"));
    postOperationLog(manager, &parent, m_server.baseUrl(), QStringLiteral("pc-install-min"));
    QVERIFY(manager);
    QCOMPARE(manager->parent(), &parent);
    QNetworkAccessManager *const first = manager;

    for (int i = 0; i < 5; ++i) {
        expectPostMessages(m_server.baseUrl(), g_channelId, m_pcId,
                           QStringLiteral("pc-install-check"));
        postOperationLog(manager, &parent, m_server.baseUrl(), QStringLiteral("pc-install-check"));
        QCOMPARE(manager, first);
    }
    QCOMPARE(parent.findChildren<QNetworkAccessManager *>().size(), 1);

    QVERIFY(m_server.waitForRecords(before + 6));
    // Every reply has finished and gone; a long run keeps none of them.
    QTRY_VERIFY(manager->findChildren<QNetworkReply *>().isEmpty());
}

void tst_operationlog::unreachableServerChangesNothing_data()
{
    QTest::addColumn<QString>("serverUrl");

    const quint16 port = closedPort();
    QVERIFY(port != 0);
    QTest::newRow("connection refused") << QStringLiteral("http://127.0.0.1:%1").arg(port);
    QTest::newRow("no server URL") << QString();
}

void tst_operationlog::unreachableServerChangesNothing()
{
    QFETCH(QString, serverUrl);

    QNetworkAccessManager *manager = nullptr;
    QObject parent;
    g_channelName = QStringLiteral("web01");
    g_channelId = QStringLiteral("a7f3c");
    const int before = m_server.recordLines().size();

    expectPostMessages(serverUrl, g_channelId, m_pcId, QStringLiteral("pc-install-selectdir"));
    postOperationLog(manager, &parent, serverUrl, QStringLiteral("pc-install-selectdir"));
    QVERIFY(manager);
    QNetworkAccessManager *const first = manager;
    QList<QNetworkReply::NetworkError> errors;
    connect(manager, &QNetworkAccessManager::finished,
            [&errors](QNetworkReply *reply) { errors.append(reply->error()); });
    QTRY_COMPARE(errors.size(), 1);
    QVERIFY(errors.first() != QNetworkReply::NoError);

    // The same manager carries the next report to a server that answers.
    expectPostMessages(m_server.baseUrl(), g_channelId, m_pcId, QStringLiteral("pc-install-go"));
    postOperationLog(manager, &parent, m_server.baseUrl(), QStringLiteral("pc-install-go"));
    QCOMPARE(manager, first);
    QVERIFY(m_server.waitForRecords(before + 1));
    QCOMPARE(m_server.recordLines().size(), before + 1);
    QVERIFY(m_server.recordLines().constLast().contains(QStringLiteral("\"pc-install-go\"")));
    QTRY_VERIFY(manager->findChildren<QNetworkReply *>().isEmpty());
}

QTEST_GUILESS_MAIN(tst_operationlog)
#include "tst_operationlog.moc"
