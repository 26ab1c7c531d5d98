#include "platform/Files.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/Paths.h"

namespace plat {
namespace {

// Texts are cp1252.
std::string Quoted(const std::string& toolPath) { return "\"" + toolPath + "\""; }

[[noreturn]] void Fail(const char* what, const std::string& toolPath, int err) {
    throw FileError("Die Datei " + Quoted(toolPath) + " kann nicht " + what + " werden: " + SystemErrorText(err) + ".");
}

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

int ReadInto(const std::string& toolPath, std::string& bytes) {
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
    const bool ok = ReadAll(fd, data);
    const int err = errno;
    ::close(fd);
    if (!ok) return err;
    bytes = std::move(data);
    return 0;
}

} // namespace

std::string SystemErrorText(int err) {
    switch (err) {
    case ENOENT: return "Datei oder Verzeichnis nicht gefunden";
    case EACCES:
    case EPERM: return "Zugriff verweigert";
    case EISDIR: return "Es ist ein Verzeichnis";
    case ENOTDIR: return "Ein Teil des Pfades ist kein Verzeichnis";
    case ENOSPC: return "Kein Speicherplatz mehr auf dem Datentr\xE4" "ger";
    case EDQUOT: return "Speicherkontingent \xFC" "berschritten";
    case EFBIG: return "Die Datei ist zu gro\xDF";
    case EROFS: return "Das Dateisystem ist schreibgesch\xFCtzt";
    case EEXIST: return "Die Datei existiert bereits";
    case EMFILE:
    case ENFILE: return "Zu viele offene Dateien";
    case EIO: return "Ein-/Ausgabefehler";
    case ENAMETOOLONG: return "Der Dateiname ist zu lang";
    case EBUSY: return "Die Datei wird gerade verwendet";
    case ELOOP: return "Zu viele symbolische Verkn\xFCpfungen";
    case ENODEV: return "Keine gew\xF6hnliche Datei (Ger\xE4t oder Pipe)";
    default: return "Systemfehler " + std::to_string(err) + " (" + std::strerror(err) + ")";
    }
}

std::string ReadFileBytes(const std::string& toolPath) {
    std::string bytes;
    if (const int err = ReadInto(toolPath, bytes)) Fail("gelesen", toolPath, err);
    return bytes;
}

bool TryReadFileBytes(const std::string& toolPath, std::string& bytes) { return ReadInto(toolPath, bytes) == 0; }

std::vector<std::string> SplitLines(std::string_view text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t lf = text.find('\n', start);
        if (lf == std::string_view::npos) {
            lines.emplace_back(text.substr(start));
            break;
        }
        std::size_t end = lf;
        if (end > start && text[end - 1] == '\r') --end;
        lines.emplace_back(text.substr(start, end - start));
        start = lf + 1;
    }
    return lines;
}

void WriteFileAtomic(const std::string& toolPath, std::string_view bytes) {
    std::string host = ToHostPath(toolPath);
    if (host.empty()) Fail("geschrieben", toolPath, ENOENT);
    // A symbolic link stays a link: its target is replaced.
    char real[PATH_MAX];
    struct stat lst;
    if (::lstat(host.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode) && ::realpath(host.c_str(), real)) host = real;

    mode_t mode = 0644;
    struct stat st;
    if (::stat(host.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) Fail("geschrieben", toolPath, EISDIR);
        mode = st.st_mode & 07777;
    }
    const std::size_t slash = host.rfind('/');
    const std::string dir = slash == 0 ? "/" : host.substr(0, slash);
    std::string temp = host.substr(0, slash + 1) + "." + host.substr(slash + 1) + ".XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) Fail("geschrieben", toolPath, errno);

    int err = 0;
    if (::fchmod(fd, mode) != 0 || !WriteAll(fd, bytes) || ::fsync(fd) != 0) err = errno;
    if (::close(fd) != 0 && err == 0) err = errno;
    if (err == 0 && ::rename(temp.c_str(), host.c_str()) != 0) err = errno;
    if (err != 0) {
        ::unlink(temp.c_str());
        Fail("geschrieben", toolPath, err);
    }
    // Make the rename itself durable; a failure here does not undo a completed write.
    const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
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
