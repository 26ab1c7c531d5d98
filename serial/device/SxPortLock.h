#pragma once
// The device lock file that serial programs on one machine agree on: <lock directory>/LCK..<name>
// holding the holder's PID as ten characters and a newline. Used by the POSIX back end.

#include <string>

namespace sx {

// The outcome of taking a device's lock file.
struct TSxLockResult {
    int Code = 0;        // 0, or ecAlreadyOpen when a live process holds the lock
    std::string Path;    // the lock file made (empty when going on without one)
    std::string Note;    // why the port goes on without a lock file (no directory, no permission)
};

// Takes the lock file of a device; a lock of a process that is gone is removed first.
TSxLockResult SxTakeLockFile(const std::string& devicePath);
// Removes a lock file made by SxTakeLockFile, if it still names this process.
void SxReleaseLockFile(const std::string& lockPath);
// The PID a lock file names, or 0 when there is none, it cannot be read or names nothing valid.
int SxLockFilePid(const std::string& lockPath);

} // namespace sx
