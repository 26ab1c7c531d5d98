#include "platform/Files.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "platform/FilesShared.h"
#include "platform/Paths.h"

namespace plat {
namespace {

using files::Fail;
using files::Refuse;

bool WriteAll(int fd, std::string_view bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += std::size_t(n);
    }
    return true;
}

// Reads the whole open file; false with errno on a read error.
bool ReadAll(int fd, std::string& out) {
    struct stat st;
    if (::fstat(fd, &st) == 0 && st.st_size > 0) out.reserve(std::size_t(st.st_size));
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return true;
        out.append(buf, std::size_t(n));
    }
}

// The process's umask, read without changing it for good (single-threaded use is not assumed: the
// window is the two calls).
mode_t CurrentUmask() {
    static const mode_t mask = [] {
        const mode_t m = ::umask(022);
        ::umask(m);
        return m;
    }();
    return mask;
}

// Makes a rename in dir durable; a failure here does not undo a completed write.
void SyncDirectory(const std::string& dir) {
    const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
}

FileInfo InfoOf(const struct stat& st) {
    FileInfo i;
    i.exists = true;
    i.size = uint64_t(st.st_size);
    i.mtimeNs = int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    i.dev = uint64_t(st.st_dev);
    i.ino = uint64_t(st.st_ino);
    return i;
}

bool SameState(const struct stat& a, const struct stat& b) {
    return a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

} // namespace

int ReadFileInto(const std::string& toolPath, std::string& bytes, FileInfo& info, uint64_t maxSize) {
    info = FileInfo();
    const std::string host = ToHostPath(toolPath);
    if (host.empty()) return ENOENT;
    // Without waiting: a pipe with no writer would otherwise hold the program at open.
    const int fd = ::open(host.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return errno;
    struct stat st;
    if (::fstat(fd, &st) == 0 && !S_ISREG(st.st_mode)) {
        // A directory, pipe, socket or device is no file to read whole (a device may never end).
        ::close(fd);
        return S_ISDIR(st.st_mode) ? EISDIR : ENODEV;
    }
    std::string data;
    int err = 0;
    // The state goes with the bytes: a file written to while being read is read again.
    for (int attempt = 0;; ++attempt) {
        if (uint64_t(st.st_size) > maxSize) {
            err = EFBIG;
            break;
        }
        data.clear();
        if (::lseek(fd, 0, SEEK_SET) != 0 || !ReadAll(fd, data)) {
            err = errno;
            break;
        }
        struct stat after;
        if (::fstat(fd, &after) != 0 || (SameState(st, after) && data.size() == uint64_t(after.st_size)) ||
            attempt == 3)
            break;
        st = after;
    }
    ::close(fd);
    if (err == 0 || err == EFBIG) info = InfoOf(st);
    if (err) return err;
    bytes = std::move(data);
    return 0;
}

PathState LookUpPath(const std::string& toolPath) {
    const std::string host = ToHostPath(toolPath);
    PathState state;
    struct stat st;
    if (host.empty() || ::stat(host.c_str(), &st) != 0) {
        state.err = host.empty() ? ENOENT : errno;
        if (!host.empty() && ::lstat(host.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) state.kind = PathKind::DanglingLink;
        return state;
    }
    state.kind = S_ISDIR(st.st_mode) ? PathKind::Directory : S_ISREG(st.st_mode) ? PathKind::File : PathKind::Other;
    state.size = uint64_t(st.st_size);
    return state;
}

int ReadFileHead(const std::string& toolPath, std::string& bytes, std::size_t max) {
    const std::string host = ToHostPath(toolPath);
    if (host.empty()) return ENOENT;
    const int fd = ::open(host.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return errno;
    std::string data(max, '\0');
    std::size_t got = 0;
    bool failed = false;
    while (got < max) {
        const ssize_t n = ::read(fd, data.data() + got, max - got);
        if (n < 0 && errno == EINTR) continue;
        failed = n < 0; // also a pipe without data
        if (n <= 0) break;
        got += std::size_t(n);
    }
    ::close(fd);
    if (failed) return -1;
    data.resize(got);
    bytes = std::move(data);
    return 0;
}

std::FILE* files::OpenHostStream(const std::string& host, const char* mode) {
    const std::string_view m(mode);
    const bool plus = m.find('+') != std::string_view::npos;
    int flags = plus ? O_RDWR : m[0] == 'r' ? O_RDONLY : O_WRONLY;
    if (m[0] == 'w') flags |= O_CREAT | O_TRUNC;
    if (m[0] == 'a') flags |= O_CREAT | O_APPEND;
    // A pipe, socket or device is not opened at all (a pipe without reader would hold the program at open,
    // a device may answer an open), and one put there meanwhile is not waited for.
    struct stat st;
    if (::stat(host.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : ENODEV;
        return nullptr;
    }
    const int fd = ::open(host.c_str(), flags | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0666);
    if (fd < 0) {
        if (errno == ENXIO) errno = ENODEV; // a pipe without reader
        return nullptr;
    }
    int err = 0;
    if (::fstat(fd, &st) != 0)
        err = errno;
    else if (!S_ISREG(st.st_mode))
        err = S_ISDIR(st.st_mode) ? EISDIR : ENODEV;
    else if (::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0)
        err = errno;
    std::FILE* f = err ? nullptr : ::fdopen(fd, mode);
    if (!f) {
        if (!err) err = errno;
        ::close(fd);
        errno = err;
    }
    return f;
}

std::FILE* OpenLocalFileStream(const std::string& host, const char* mode) {
    return files::OpenHostStream(host, mode);
}

void IgnoreBrokenPipe() {
    ::signal(SIGPIPE, SIG_IGN);
}

bool StreamFileGone(std::FILE* f) {
    struct stat st;
    return ::fstat(::fileno(f), &st) == 0 && st.st_nlink == 0;
}

bool TruncateStream(std::FILE* f, long size) { return ::ftruncate(::fileno(f), size) == 0; }

FileInfo FileInfoOf(const std::string& toolPath) {
    const std::string host = ToHostPath(toolPath);
    struct stat st;
    if (host.empty() || ::stat(host.c_str(), &st) != 0) return {};
    return InfoOf(st);
}

std::size_t RemoveStaleTemporaries(const std::string& hostDir) {
    DIR* d = ::opendir(hostDir.c_str());
    if (!d) return 0;
    std::size_t removed = 0;
    while (const dirent* e = ::readdir(d)) {
        const pid_t owner = pid_t(files::TempOwner(e->d_name));
        if (owner <= 0 || owner == ::getpid()) continue;
        // Only when that process is gone: a second instance may be writing this very moment.
        if (::kill(owner, 0) == 0 || errno != ESRCH) continue;
        struct stat st;
        if (::fstatat(::dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
            st.st_uid != ::geteuid())
            continue;
        if (::unlinkat(::dirfd(d), e->d_name, 0) == 0) ++removed;
    }
    ::closedir(d);
    return removed;
}

namespace {

// Follows symbolic links from host to the file a write must replace; a dangling link gives its target.
// 0 or an errno (ELOOP for a loop).
int ResolveWriteTarget(std::string& host) {
    for (int depth = 0; depth < 40; ++depth) {
        struct stat lst;
        if (::lstat(host.c_str(), &lst) != 0) return errno == ENOENT ? 0 : errno;
        if (!S_ISLNK(lst.st_mode)) return 0;
        char buf[PATH_MAX];
        const ssize_t n = ::readlink(host.c_str(), buf, sizeof buf - 1);
        if (n < 0) return errno;
        std::string target(buf, std::size_t(n));
        if (target.empty()) return ENOENT;
        if (target[0] != '/') target = host.substr(0, host.rfind('/') + 1) + target;
        host = target;
    }
    return ELOOP;
}

// Copies the extended attributes of the file at host onto fd. 0 or an errno; a file system without
// them is no error.
int CopyXattrs(const std::string& host, int fd) {
    ssize_t len = ::listxattr(host.c_str(), nullptr, 0);
    if (len < 0) return (errno == ENOTSUP || errno == ENOSYS) ? 0 : errno;
    if (len == 0) return 0;
    std::string names(std::size_t(len), '\0');
    len = ::listxattr(host.c_str(), names.data(), names.size());
    if (len < 0) return errno;
    names.resize(std::size_t(len));
    for (std::size_t at = 0; at < names.size();) {
        const char* name = names.c_str() + at;
        at += std::strlen(name) + 1;
        const ssize_t vlen = ::getxattr(host.c_str(), name, nullptr, 0);
        if (vlen < 0) {
            if (errno == ENODATA) continue; // removed meanwhile
            return errno;
        }
        std::string value(std::size_t(vlen), '\0');
        const ssize_t got = ::getxattr(host.c_str(), name, value.data(), value.size());
        if (got < 0) return errno;
        if (::fsetxattr(fd, name, value.data(), std::size_t(got), 0) != 0) return errno;
    }
    return 0;
}

struct WriteFailure {
    std::string reason; // German, complete sentence part after "kann nicht geschrieben werden: "
};

// Writes, makes the new file look like the old one (owner, group, mode, extended attributes) and flushes
// it. On failure fills reason.
bool FillTemp(int fd, std::string_view bytes, const struct stat* old, const std::string& oldHost, WriteFailure& f) {
    if (!WriteAll(fd, bytes)) {
        f.reason = SystemErrorText(errno);
        return false;
    }
    if (old) {
        if ((old->st_uid != ::geteuid() || old->st_gid != ::getegid()) && ::fchown(fd, old->st_uid, old->st_gid) != 0) {
            f.reason = "Besitzer und Gruppe der Datei lie\xDF" "en sich f\xFC" "r die neue Fassung nicht "
                       "\xFC" "bernehmen (" + SystemErrorText(errno) + "); die Datei bleibt unver\xE4" "ndert";
            return false;
        }
        if (const int err = CopyXattrs(oldHost, fd)) {
            f.reason = "Die erweiterten Attribute der Datei lie\xDF" "en sich nicht \xFC" "bernehmen (" +
                       SystemErrorText(err) + "); die Datei bleibt unver\xE4" "ndert";
            return false;
        }
    }
    // After fchown, which clears the set-id bits.
    if (::fchmod(fd, old ? (old->st_mode & 07777) : mode_t(0666 & ~CurrentUmask())) != 0 || ::fsync(fd) != 0) {
        f.reason = SystemErrorText(errno);
        return false;
    }
    return true;
}

// A read lease on the file about to be replaced (Linux). The kernel grants it only while no process has
// the file open for writing, and makes a process that opens it for writing wait until the lease is given
// back, which shows here as a lease being broken. A rename over the name breaks no lease: the file looked
// at is remembered (device and inode) so that the replace can tell it from one put there meanwhile.
class ReplaceLease {
public:
    explicit ReplaceLease(const std::string& host) {
        // A writer that has the file open just now (an append that takes a moment) is waited for briefly.
        for (int attempt = 0; attempt < 20; ++attempt) {
            fd_ = ::open(host.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
            if (fd_ < 0) {
                missing_ = errno == ENOENT; // no file yet: nothing to guard
                return;
            }
            struct stat st;
            if (::fstat(fd_, &st) == 0) {
                known_ = true;
                dev_ = st.st_dev;
                ino_ = st.st_ino;
            }
            // The break is told by a signal; the one chosen is ignored unless a program asks for it (the
            // default, SIGIO, would end the program).
            if (::fcntl(fd_, F_SETSIG, SIGURG) == 0 && ::fcntl(fd_, F_SETLEASE, F_RDLCK) == 0) {
                held_ = true;
                return;
            }
            if (errno != EAGAIN) return; // no leases on this file system: the last look and the inode alone
            ::close(fd_);
            fd_ = -1;
            known_ = false;
            busy_ = true;
            const timespec pause{0, 10 * 1000 * 1000};
            ::nanosleep(&pause, nullptr);
        }
    }
    ~ReplaceLease() {
        if (fd_ < 0) return;
        if (held_) ::fcntl(fd_, F_SETLEASE, F_UNLCK);
        ::close(fd_);
    }
    ReplaceLease(const ReplaceLease&) = delete;
    ReplaceLease& operator=(const ReplaceLease&) = delete;
    // The file was looked at: its device and inode are known.
    bool Known() const { return known_; }
    // There was no file under the name.
    bool Missing() const { return missing_; }
    bool Is(const struct stat& st) const { return known_ && st.st_dev == dev_ && st.st_ino == ino_; }
    // Another program has the file open for writing and kept it so.
    bool Busy() const { return busy_ && fd_ < 0 && !missing_; }
    // Another program began to open the file for writing since the lease was taken.
    bool Broken() const { return held_ && ::fcntl(fd_, F_GETLEASE) != F_RDLCK; }

private:
    int fd_ = -1;
    bool held_ = false, busy_ = false, known_ = false, missing_ = false;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
};

// Whether the name stands for the file ours (device and inode).
bool NameHolds(const std::string& name, const struct stat& ours) {
    struct stat st;
    return ::lstat(name.c_str(), &st) == 0 && st.st_dev == ours.st_dev && st.st_ino == ours.st_ino;
}

// The file under the name is no longer the one looked at: another program saved it meanwhile.
constexpr int ReplacedMeanwhile = -2;

// Puts temp (the new file, ours) in the place of host: 0 when replaced. Otherwise the file is left as it
// was and temp removed: -1 when the last look said no, EBUSY when another program keeps the file open for
// writing or opened it for writing while it was replaced, ReplacedMeanwhile when another program put a
// file of its own under the name since it was looked at, else an errno.
int Replace(const std::string& temp, const struct stat& ours, const std::string& host,
            const std::function<bool()>& lastLook) {
    const ReplaceLease lease(host);
    int result = 0;
    if (lease.Busy()) {
        result = EBUSY;
    } else if (lastLook && !lastLook()) {
        result = -1;
    } else if (lease.Known() &&
               ::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, host.c_str(), RENAME_EXCHANGE) == 0) {
        // What now has the temporary name is deleted only when it is the file looked at and no writer was
        // let in meanwhile; otherwise it goes back under the name.
        struct stat out;
        const bool looked = ::lstat(temp.c_str(), &out) == 0 && lease.Is(out);
        if (looked && !lease.Broken()) {
            ::unlink(temp.c_str()); // the old file
            return 0;
        }
        if (::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, host.c_str(), RENAME_EXCHANGE) != 0) {
            if (looked) ::unlink(temp.c_str()); // could not go back: the write stands
            return 0;
        }
        result = looked ? EBUSY : ReplacedMeanwhile;
        // Only our own file is removed; were it gone too (a third save), the other program's file stays.
        if (!NameHolds(temp, ours)) return result;
    } else if (lease.Missing()) {
        // No file was there: one created meanwhile is not overwritten.
        if (::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, host.c_str(), RENAME_NOREPLACE) == 0) return 0;
        if (errno == EEXIST)
            result = ReplacedMeanwhile;
        else if (errno != EINVAL && errno != ENOSYS)
            result = errno;
        else if (::rename(temp.c_str(), host.c_str()) == 0)
            return 0;
        else
            result = errno;
    } else if (::rename(temp.c_str(), host.c_str()) != 0) {
        result = errno;
    } else {
        return 0;
    }
    ::unlink(temp.c_str());
    return result;
}

// The outcome of Replace for WriteFileAtomic: true when written; false when a given last look said no
// or the file is another program's meanwhile; otherwise a FileError.
bool ReplaceResult(int err, const std::string& toolPath, const std::string& dir, bool lastLook) {
    if (err == EBUSY || err == ReplacedMeanwhile) {
        if (lastLook) return false;
        Refuse(toolPath, err == EBUSY ? files::BusyReason() : files::ReplacedReason());
    }
    if (err > 0) Fail("geschrieben", toolPath, err);
    if (err == 0) SyncDirectory(dir);
    return err == 0;
}

// Remembers the new file's state: for the caller, and to know it again by its inode.
void NoteWritten(int fd, FileInfo* written, struct stat& ours) {
    if (::fstat(fd, &ours) != 0)
        ours = {};
    else if (written)
        *written = InfoOf(ours);
}

} // namespace

bool WriteFileAtomic(const std::string& toolPath, std::string_view bytes, const std::function<bool()>& lastLook,
                     FileInfo* written) {
    std::string host = ToHostPath(toolPath);
    if (host.empty()) Fail("geschrieben", toolPath, ENOENT);
    auto refuse = [&toolPath](const std::string& reason) { Refuse(toolPath, reason); };
    // A symbolic link stays a link, also a dangling one: its target is written.
    const std::string linkHost = host;
    if (const int err = ResolveWriteTarget(host)) Fail("geschrieben", toolPath, err);
    const std::size_t slash = host.rfind('/');
    const std::string dir = slash == 0 ? "/" : host.substr(0, slash);
    const std::string name = host.substr(slash + 1);
    struct stat dst;
    const int dirErr = ::stat(dir.c_str(), &dst) != 0 ? errno : S_ISDIR(dst.st_mode) ? 0 : ENOTDIR;
    if (dirErr != 0) {
        if (host != linkHost)
            refuse("die Verkn\xFC" "pfung zeigt auf \"" + Utf8ToCp1252(host) + "\", dessen Ordner nicht existiert");
        Fail("geschrieben", toolPath, dirErr);
    }

    struct stat st;
    const bool exists = ::stat(host.c_str(), &st) == 0;
    if (exists) {
        if (S_ISDIR(st.st_mode)) Fail("geschrieben", toolPath, EISDIR);
        if (!S_ISREG(st.st_mode)) Fail("geschrieben", toolPath, ENODEV);
        // Without any write permission the file is meant to stay as it is, also for the administrator.
        if ((st.st_mode & 0222) == 0 || ::faccessat(AT_FDCWD, host.c_str(), W_OK, AT_EACCESS) != 0)
            refuse(files::ReadOnlyReason());
    }
    RemoveStaleTemporaries(dir);

    WriteFailure failure;
    // Preferably an unnamed file that only gets a name at the very end, so a crash leaves nothing behind.
    int fd = ::open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (fd >= 0) {
        if (!FillTemp(fd, bytes, exists ? &st : nullptr, host, failure)) {
            ::close(fd);
            refuse(failure.reason);
        }
        struct stat ours;
        NoteWritten(fd, written, ours);
        std::string temp;
        bool linked = false;
        const std::string procPath = "/proc/self/fd/" + std::to_string(fd);
        for (int attempt = 0; attempt < 8 && !linked; ++attempt) {
            temp = files::TempNameFor(dir + "/", name, uint64_t(::getpid()));
            linked = ::linkat(AT_FDCWD, procPath.c_str(), AT_FDCWD, temp.c_str(), AT_SYMLINK_FOLLOW) == 0 ||
                     (errno != EEXIST && ::linkat(fd, "", AT_FDCWD, temp.c_str(), AT_EMPTY_PATH) == 0);
            if (!linked && errno != EEXIST) break;
        }
        const int linkErr = linked ? 0 : errno;
        ::close(fd);
        if (linked) return ReplaceResult(Replace(temp, ours, host, lastLook), toolPath, dir, bool(lastLook));
        if (linkErr != ENOENT && linkErr != EPERM && linkErr != EACCES && linkErr != EXDEV)
            Fail("geschrieben", toolPath, linkErr);
        // No /proc and no right to link by descriptor: the named temporary below.
    } else if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL && errno != ENOTSUP) {
        Fail("geschrieben", toolPath, errno);
    }

    std::string temp;
    for (int attempt = 0; attempt < 8; ++attempt) {
        temp = files::TempNameFor(dir + "/", name, uint64_t(::getpid()));
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST) break;
    }
    if (fd < 0) Fail("geschrieben", toolPath, errno);
    const bool filled = FillTemp(fd, bytes, exists ? &st : nullptr, host, failure);
    struct stat ours = {};
    if (filled) NoteWritten(fd, written, ours);
    int err = 0;
    if (::close(fd) != 0 && filled) err = errno;
    if (!filled || err != 0) {
        ::unlink(temp.c_str());
        if (!filled) refuse(failure.reason);
        Fail("geschrieben", toolPath, err);
    }
    return ReplaceResult(Replace(temp, ours, host, lastLook), toolPath, dir, bool(lastLook));
}

void AppendToFile(const std::string& toolPath, std::string_view bytes) {
    const std::string host = ToHostPath(toolPath);
    if (host.empty()) Fail("geschrieben", toolPath, ENOENT);
    const int fd = ::open(host.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) Fail("geschrieben", toolPath, errno);
    int err = WriteAll(fd, bytes) ? 0 : errno;
    if (::close(fd) != 0 && err == 0) err = errno;
    if (err) Fail("geschrieben", toolPath, err);
}

} // namespace plat
