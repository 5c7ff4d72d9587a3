#pragma once

#include "core/buildconfig.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <atomic>
#include <memory>

class PackageSignature;
struct Transfer;

// Fetches one file over HTTP with libcurl into the download folder: the body
// goes to "<name>_tmp" and is renamed to "<name>" when the transfer has succeeded. With a public
// key, the vendor's signature "<url>.minisig" is fetched first, and only a package it verifies
// succeeds.
class DownloadManager : public QObject
{
    Q_OBJECT

public:
    // Removes what an earlier run left in the download folder, and nothing else.
    explicit DownloadManager(QObject *parent = nullptr);
    ~DownloadManager() override;

    // Runs the whole transfer and returns when it has ended, after exactly one of downLoadErr()
    // and downLoadOK(path). A failed transfer leaves no file behind. Blocking: called on a worker
    // thread.
    void downLoadFile(QString url, QString fileName);

    // The key line of the vendor's minisign public key ("RW..."); empty: packages are not
    // checked. The build's own key unless set.
    void setPublicKey(const QByteArray &keyLine) { publicKey = keyLine; }

    // Ends the running transfer at its next progress check (about once a second even when no
    // data flows); it then reports downLoadErr(). Safe from any thread. Each transfer starts
    // with the request cleared.
    void requestStop();

signals:
    void downLoadErr();
    void downLoadOK(QString path);
    // Percent from 0 to 100; not emitted while the server has not announced the size.
    void downProgress(double per);

private:
    // libcurl's callbacks, which need the types of its header.
    friend struct Transfer;

    // Runs libcurl from address into transfer's file or memory; empty when the body is there,
    // otherwise why not.
    QString transfer(const QString &address, Transfer &transfer);
    // The package into tmpPath, checked with signature when there is one; empty when it may be
    // installed, otherwise why not.
    QString fetchPackage(const QString &tmpPath, PackageSignature *signature);
    // The signature's file, read into signature; empty when it is one of the vendor's key.
    QString fetchSignature(PackageSignature &signature);
    // Reports progress; false once a stop has been asked for.
    bool transferProgress(qint64 totalBytes, qint64 receivedBytes);

    QString downloadDir;
    QString fileName;
    QString tmpFileName;
    QString url;
    QByteArray publicKey = BuildConfig::packagePublicKey;
    std::atomic_bool stopRequested{false};
};
