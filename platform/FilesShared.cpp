// The file layer's parts that need no system call: texts, line splitting, temporary names.
#include "platform/FilesShared.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "platform/Files.h"
#include "platform/Paths.h"

namespace plat {
namespace files {

void Fail(const char* what, const std::string& toolPath, int err) {
    throw FileError("Die Datei \"" + toolPath + "\" kann nicht " + what + " werden: " + SystemErrorText(err) + ".");
}

void Refuse(const std::string& toolPath, const std::string& reason) {
    throw FileError("Die Datei \"" + toolPath + "\" kann nicht geschrieben werden: " + reason + ".");
}

std::string ReadOnlyReason() { return "sie ist schreibgesch\xFC" "tzt"; }

std::string ReplacedReason() {
    return "ein anderes Programm hat die Datei eben neu gesichert; seine Fassung bleibt unver\xE4"
           "ndert";
}

std::string BusyReason() {
    return "ein anderes Programm schreibt gerade in die Datei; sie bleibt unver\xE4" "ndert";
}

namespace {

constexpr std::string_view TempTag = ".ini4zav~";
constexpr std::string_view CompleteTag = ".ini4zav+"; // the same length

std::string RandomSuffix(uint64_t pid) {
    static const char chars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    static thread_local uint64_t state = pid * 0x9E3779B97F4A7C15ull ^ uint64_t(::time(nullptr));
    std::string out(6, 'x');
    for (char& c : out) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        c = chars[(state >> 33) % (sizeof chars - 1)];
    }
    return out;
}

} // namespace

std::string TempNameFor(const std::string& dirWithSep, const std::string& name, uint64_t pid) {
    return dirWithSep + "." + name + std::string(TempTag) + std::to_string(pid) + "." + RandomSuffix(pid);
}

namespace {

// Where the tag of one of our temporary names begins (either tag), npos when there is none.
std::size_t TagAt(std::string_view name) {
    const std::size_t open = name.rfind(TempTag), complete = name.rfind(CompleteTag);
    if (open == std::string_view::npos) return complete;
    if (complete == std::string_view::npos) return open;
    return std::max(open, complete);
}

} // namespace

std::string CompleteNameOf(const std::string& temp) {
    std::string out = temp;
    const std::size_t tag = out.rfind(TempTag);
    if (tag != std::string::npos) out.replace(tag, TempTag.size(), CompleteTag);
    return out;
}

bool IsCompleteTemp(std::string_view name) {
    return TempOwner(name) != 0 && name.compare(TagAt(name), CompleteTag.size(), CompleteTag) == 0;
}

std::string TempTarget(std::string_view name) {
    return TempOwner(name) == 0 ? std::string() : std::string(name.substr(1, TagAt(name) - 1));
}

uint64_t TempOwner(std::string_view name) {
    if (name.size() < 2 || name[0] != '.') return 0;
    const std::size_t tag = TagAt(name);
    if (tag == std::string_view::npos || tag == 0) return 0;
    std::string_view rest = name.substr(tag + TempTag.size());
    const std::size_t dot = rest.find('.');
    if (dot == 0 || dot == std::string_view::npos || rest.size() - dot - 1 != 6) return 0;
    uint64_t pid = 0;
    for (char c : rest.substr(0, dot)) {
        if (c < '0' || c > '9' || pid > 100000000) return 0;
        pid = pid * 10 + uint64_t(c - '0');
    }
    return pid;
}

} // namespace files

std::string SystemErrorText(int err) {
    switch (err) {
    case ENOENT: return "Datei oder Verzeichnis nicht gefunden";
    case EACCES:
    case EPERM: return "Zugriff verweigert";
    case EISDIR: return "Es ist ein Verzeichnis";
    case ENOTDIR: return "Ein Teil des Pfades ist kein Verzeichnis";
    case ENOSPC: return "Kein Speicherplatz mehr auf dem Datentr\xE4" "ger";
#ifdef EDQUOT
    case EDQUOT: return "Speicherkontingent \xFC" "berschritten";
#endif
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
    if (const int err = ReadFileInto(toolPath, bytes)) files::Fail("gelesen", toolPath, err);
    return bytes;
}

bool TryReadFileBytes(const std::string& toolPath, std::string& bytes) { return ReadFileInto(toolPath, bytes) == 0; }

int ReadFileInto(const std::string& toolPath, std::string& bytes) {
    FileInfo info;
    return ReadFileInto(toolPath, bytes, info, UINT64_MAX);
}

std::FILE* OpenFileStream(const std::string& toolPath, const char* mode) {
    const std::string host = ToHostPath(toolPath);
    if (host.empty()) {
        errno = ENOENT;
        return nullptr;
    }
    return files::OpenHostStream(host, mode);
}

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

} // namespace plat
