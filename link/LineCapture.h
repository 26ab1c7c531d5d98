#pragma once
// The console's capture of the line: every traffic line, as it happens, appended to a file of the user's
// choice. One line per entry:
//
//     2026-12-08 14:03:07.412 > ATDT06601234567
//     2026-12-08 14:03:26.090 < CONNECT 19200
//     2026-12-08 14:03:26.311 > 415430310D   AT01
//     2026-12-08 14:03:26.840 * ** MST.SYNC **
//
// local date and time to the millisecond, the direction (">" sent, "<" received, "*" a message of the
// console) and the text as the memo shows it (in data mode the bytes in hex, three blanks, the readable
// text). Lines end with LF; the text is UTF-8. Every line is handed to the system before Write returns,
// so a crash of the program loses none. Without Qt.

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

class TLineCapture {
public:
    TLineCapture() = default;
    TLineCapture(const TLineCapture&) = delete;
    TLineCapture& operator=(const TLineCapture&) = delete;
    ~TLineCapture() { Stop(); }

    // Opens path (a local file name) for appending; an earlier capture in it stays. False when it cannot
    // be opened (LastError says why).
    bool Start(const std::string& path);
    // Writes one line at once. False when it could not be written whole, or the file was deleted meanwhile
    // (ESTALE): the capture has stopped and LastError says why.
    bool Write(char direction, const std::string& text);
    // Closes the file; nothing when no capture runs.
    void Stop();
    bool Active() const { return file_ != nullptr; }
    // The errno value of the last failure.
    int LastError() const { return error_; }

    // "YYYY-MM-DD HH:MM:SS.mmm" in local time.
    static std::string TimeStamp(std::chrono::system_clock::time_point when);

private:
    std::FILE* file_ = nullptr;
    int error_ = 0;
};

// Writes lines (each followed by LF) to path (a local file name), replacing the file. 0, or the errno
// value of the failure.
int WriteTextFile(const std::string& path, const std::vector<std::string>& lines);

// Why a file could not be written, in German (8-bit text), from an errno value: "Datenträger voll" …
std::string FileErrorText(int err);
