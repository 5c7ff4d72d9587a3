#pragma once

#include <QString>
#include <QVector>
#include <QtGlobal>

// Judges what a package archive holds before anything is unpacked: an entry that would land
// outside the unzip folder, or a link that could lead there, makes the package unusable.
namespace ArchiveGuard {

struct Entry
{
    QString path;
    quint64 size = 0;
    bool isFolder = false;
};

// What the technical listing of an archive ("7z l -slt") says.
struct Listing
{
    // Why the package is refused; empty when every entry is a plain file or folder inside.
    QString refusal;
    // The bytes its entries declare once unpacked.
    quint64 unpackedBytes = 0;
    // Every entry, in the archive's order.
    QVector<Entry> entries;
};

Listing judgeListing(const QString &listing);

// What the entries take on a disk that gives space in blocks of blockBytes: every file and
// folder at least one block, none shared.
quint64 diskBytes(const Listing &listing, quint64 blockBytes);

// True for an entry path that stays below the folder it is unpacked into.
bool isContainedPath(const QString &entryPath);

} // namespace ArchiveGuard
