#include "core/lockfiles.h"

#include <QDebug>
#include <QFileInfo>
#include <QLockFile>

namespace LockFiles {

namespace {

// A lock file holds a process id, a program name and a host name.
constexpr qint64 maxLockFileBytes = 4096;

} // namespace

Claim take(const QString &path)
{
    Claim claim;
    // Reading anything but a small plain file could hang (a pipe) or never end (a link to an
    // endless device); no run ever makes one. Before the toolkit takes a lock over, it reads the
    // lock's companion, where runs agree on who removes it (and that one's, when it is stale too):
    // each is checked in turn.
    for (QString place = path;; place += QStringLiteral(".rmlock")) {
        const QFileInfo found(place);
        const bool link = found.isSymLink() || found.isJunction();
        if (!found.exists() && !link)
            break; // without a lock to take over, its companion is never read
        if (link || !found.isFile() || found.size() > maxLockFileBytes) {
            qDebug() << "not a lock file:" << place;
            claim.outcome = Claim::Unusable;
            return claim;
        }
    }
    auto lock = std::make_unique<QLockFile>(path);
    // Only an owner that has ended makes a lock stale, never its age.
    lock->setStaleLockTime(0);
    // The toolkit takes over a lock whose owner has ended by its process id. One it cannot judge
    // (left empty by a crash, its id reused) is removed unless a live owner still holds the open
    // file, which makes the removal fail.
    if (lock->tryLock(0) || (lock->error() == QLockFile::LockFailedError &&
                             lock->removeStaleLockFile() && lock->tryLock(0))) {
        claim.outcome = Claim::Taken;
        claim.lock = std::move(lock);
        return claim;
    }
    if (lock->error() != QLockFile::LockFailedError) {
        qDebug() << "cannot make the lock file" << path;
        return claim;
    }
    // A live owner's lock is a file this user may read and replace; one that is not cannot have
    // been made by a run of this user, and stays as it is.
    const QFileInfo left(path);
    const bool replaceable =
        left.isReadable() && left.isWritable() && QFileInfo(left.path()).isWritable();
    if (!replaceable)
        qDebug() << "lock file cannot be read or replaced:" << path;
    claim.outcome = replaceable ? Claim::Held : Claim::Unusable;
    return claim;
}

} // namespace LockFiles
