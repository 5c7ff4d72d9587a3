#pragma once

#include <QString>

#include <memory>

class QLockFile;

// Lock files that outlive the run that made them (a crash, a kill, a start button that ends the
// process at once). A lock no live process holds is taken over; whatever lies in a lock's place
// that no run makes (a folder, a pipe, a link, a large file) is never read.
namespace LockFiles {

struct Claim
{
    enum Outcome {
        Taken,
        // A live process holds it.
        Held,
        // Something that cannot be read or replaced is in its place.
        Unusable,
        // The lock's folder does not let it be made.
        CannotCreate,
    };
    Outcome outcome = CannotCreate;
    // Held for as long as it lives; set only when taken.
    std::unique_ptr<QLockFile> lock;
};

Claim take(const QString &path);

} // namespace LockFiles
