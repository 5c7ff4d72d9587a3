#pragma once

#include <QString>
#include <QStringList>

// The 7-Zip command-line program, run in the archive's own folder on the archive's bare name:
// 7-Zip reads "*" and "?" in its arguments as wildcards, so no folder name may reach it.
namespace SevenZip {

struct Result
{
    // 7-Zip ran and reported success (exit code 0, or 1 for a warning).
    bool ok = false;
    QString output;
    // Why it did not succeed.
    QString error;
};

// The arguments that unpack the archive into its folder, overwriting without asking.
QStringList extractArguments(const QString &archivePath);

// "l -slt": the technical listing of every entry.
Result list(const QString &archivePath);
// Unpacks the archive into the folder that holds it.
Result extract(const QString &archivePath);

} // namespace SevenZip
