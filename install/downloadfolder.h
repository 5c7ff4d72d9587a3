#pragma once

#include <QString>

#include <memory>

class QLockFile;

// The per-user folder the package is downloaded to, "<per-user application data>/<application
// name>", shared by both brands' installers. Only the installer's own entries in it are ever
// removed, and a link in its place is never followed.
namespace DownloadFolder {

QString path();

// Takes the folder's lock for this run and makes the folder a real folder that only this run can
// change (Platform::makePrivate). Null when the run must not go on; refusal then says why and
// where, in the interface language.
std::unique_ptr<QLockFile> claim(QString *refusal);

// Removes what an earlier run left there (the package, its partial download, the unpacked
// package folders) and nothing else; a link in the folder's place becomes a real folder.
void clear();

} // namespace DownloadFolder
