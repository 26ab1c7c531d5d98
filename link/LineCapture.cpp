#include "link/LineCapture.h"

#include <cerrno>
#include <cstring>
#include <ctime>

#include "platform/DateTime.h"
#include "platform/Files.h"

// The file deleted under a running capture is POSIX's error; the Windows C run-time has no name for it.
#ifndef ESTALE
#define ESTALE 116
#endif

namespace {

// The whole block reaches the system, or errno tells why not.
bool PutAll(std::FILE* f, const std::string& bytes) {
    errno = 0;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    const bool flushed = std::fflush(f) == 0;
    if (written && flushed) return true;
    if (errno == 0) errno = EIO;
    return false;
}

// Cuts the file back to size bytes (the end of its last whole line).
void CutBack(std::FILE* f, long size) {
    if (size < 0) return;
    (void)plat::TruncateStream(f, size);
}

} // namespace

std::string FileErrorText(int err) {
    const char* why = nullptr;
    switch (err) {
    case ENOSPC:
        why = "Datentr\xE4ger voll";
        break;
#ifdef EDQUOT
    case EDQUOT:
        why = "Speicherkontingent ersch\xF6pft";
        break;
#endif
    case ENOENT:
        why = "den Ordner gibt es nicht";
        break;
    case ENOTDIR:
        why = "ein Teil des Pfads ist kein Ordner";
        break;
    case EISDIR:
        why = "das ist ein Ordner, keine Datei";
        break;
    case EACCES:
    case EPERM:
        why = "keine Berechtigung zum Schreiben";
        break;
    case EROFS:
        why = "der Datentr\xE4ger ist schreibgesch\xFCtzt";
        break;
    case EIO:
        why = "Schreibfehler des Datentr\xE4gers";
        break;
    case EFBIG:
        why = "die Datei hat ihre h\xF6"
              "chste Gr\xF6\xDF"
              "e erreicht";
        break;
    case ESTALE:
        why = "die Datei wurde gel\xF6scht oder ihr Ordner entfernt, bitte den Mitschnitt neu starten";
        break;
    case ENODEV:
        why = "das ist keine gew\xF6hnliche Datei (Ger\xE4t oder Pipe), bitte eine Datei w\xE4hlen";
        break;
    default:
        break;
    }
    return why ? why : "Fehler " + std::to_string(err) + " (" + std::strerror(err) + ")";
}

std::string TLineCapture::TimeStamp(std::chrono::system_clock::time_point when) {
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count() % 1000;
    const std::tm local = plat::LocalTime(when);
    char buf[40];
    const size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &local);
    std::snprintf(buf + n, sizeof buf - n, ".%03d", static_cast<int>(ms < 0 ? ms + 1000 : ms));
    return buf;
}

bool TLineCapture::Start(const std::string& path) {
    Stop();
    errno = 0;
    file_ = path.empty() ? nullptr : plat::OpenLocalFileStream(path, "ab");
    error_ = file_ ? 0 : path.empty() ? ENOENT : errno;
    // Unbuffered: a line goes to the system in one write, and nothing is left behind to be written later.
    if (file_) std::setvbuf(file_, nullptr, _IONBF, 0);
    return file_ != nullptr;
}

bool TLineCapture::Write(char direction, const std::string& text) {
    if (!file_) return false;
    std::string line = TimeStamp(std::chrono::system_clock::now());
    line += ' ';
    line += direction;
    line += ' ';
    line += text;
    line += '\n';
    // Appended lines go to the end, wherever the stream's position is; that end is where a failed line
    // is cut off.
    const long end = std::fseek(file_, 0, SEEK_END) == 0 ? std::ftell(file_) : -1;
    if (plat::StreamFileGone(file_)) {
        error_ = ESTALE; // deleted, or its folder removed: nothing written there could be read again
        Stop();
        return false;
    }
    if (PutAll(file_, line)) return true;
    error_ = errno;
    CutBack(file_, end); // the file ends with its last whole line
    Stop();
    return false;
}

void TLineCapture::Stop() {
    if (!file_) return;
    std::fclose(file_); // everything was flushed line by line; a failure here has no line to lose
    file_ = nullptr;
}

int WriteTextFile(const std::string& path, const std::vector<std::string>& lines) {
    errno = 0;
    std::FILE* f = path.empty() ? nullptr : plat::OpenLocalFileStream(path, "wb");
    if (!f) return path.empty() ? ENOENT : errno;
    std::string text;
    for (const auto& l : lines)
        text += l + '\n';
    int err = PutAll(f, text) ? 0 : errno;
    if (std::fclose(f) != 0 && err == 0) err = errno ? errno : EIO;
    return err;
}
