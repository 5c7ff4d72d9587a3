#pragma once

#include <QString>
#include <QStringList>

#include <functional>

// The 7-Zip command-line program. It reads "*" and "?" in names as wildcards, and in its output
// folder "*" as the archive's name, so no path reaches it: it runs in the folder it writes to
// and reads the archive under a name the platform passes it. It ends with the installer.
namespace SevenZip {

struct Result
{
    // 7-Zip ran and reported success (exit code 0, or 1 for a warning).
    bool ok = false;
    QString output;
    // Why it did not succeed.
    QString error;
};

// "l -slt": the technical listing of every entry.
Result list(const QString &archivePath);

// Unpacks the archive into folder, overwriting without asking; onEntry gets the path of each
// entry as 7-Zip begins it, folders with a trailing separator.
Result extract(const QString &archivePath, const QString &folder,
               const std::function<void(const QString &entry)> &onEntry);

} // namespace SevenZip
