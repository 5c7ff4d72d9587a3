#pragma once

#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// The local vendor server of tools/ (vendor_server.py), run by a test on loopback. It serves
// the packages in packageFolder() under /upload/pc/ and collects operation-log records.
class VendorServer
{
public:
    VendorServer();
    ~VendorServer();

    // Starts the server on port (0 picks a free one) and waits until it listens; each record is
    // held up to oplogDelayMs at random before it is noted. Options go to the server as they are.
    bool start(quint16 port = 0, int oplogDelayMs = 0, const QStringList &options = {});
    void stop();

    quint16 port() const { return m_port; }
    QString baseUrl() const;
    QString packageFolder() const;
    // The mode of every /upload/pc/ answer: "normal", "status-404", "stall", "drop", ...
    void setPackageMode(const QString &mode);

    QList<QJsonObject> records() const;
    // One member of every record, as text, oldest first (for example every "btnId").
    QStringList recordValues(const QString &key) const;
    // Every request received: method, path, contentType, length.
    QList<QJsonObject> requests() const;
    // The paths of the requests with this method, oldest first.
    QStringList requestPaths(const QString &method) const;
    // Waits (turning the event loop) until at least count records have arrived.
    bool waitForRecords(int count, int timeoutMs = 10000) const;

    // Builds a package of this build's brand with tools/make_package.py: the package folder
    // for arch ("x64" or "x86"), filler files of size bytes in all ("1M", "64K").
    static bool buildPackage(const QString &archive, const QString &arch, const QString &size,
                             int files);
    // The file name the installer asks for under /upload/pc/.
    static QString packageName();

    // The port of the compiled-in production server URL.
    static quint16 productionPort();
    static quint16 testPort();

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    quint16 m_port = 0;
    QString m_scheme = "http";
};
