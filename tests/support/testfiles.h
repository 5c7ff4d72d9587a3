#pragma once

#include <QByteArray>
#include <QString>

// Small files the tests lay out and read back.
namespace TestFiles {

// Writes content to path, making its folder first; false (with a warning) when it cannot.
bool write(const QString &path, const QByteArray &content);
// The whole file; "<unreadable>" when it cannot be read, so that a missing file never equals
// an expected content, not even an empty one.
QByteArray read(const QString &path);

} // namespace TestFiles
