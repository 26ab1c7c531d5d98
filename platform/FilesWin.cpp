// Files on Windows: reads and appends through the wide API, write-back by a flushed temporary in the same
// folder that one rename (MoveFileExW) puts in the old file's place, so that the name holds the old or the
// new file at every moment. The temporary keeps the old file's attributes; its ACL is the folder's.
#include "platform/Files.h"

#include <algorithm>
#include <cerrno>
#include <cwchar>
#include <io.h>
#include <vector>
#include <windows.h>

#include "platform/Cp1252.h"
#include "platform/FileGuard.h"
#include "platform/FilesShared.h"
#include "platform/Paths.h"
#include "platform/Text.h"
#include "platform/WidePath.h"

namespace plat {
namespace {

using files::Fail;
using files::Refuse;
using paths::ErrnoOfWin32;
using paths::WideHostPath;

int LastErrno() { return ErrnoOfWin32(::GetLastError()); }

// Closes a handle when it goes.
class Handle {
public:
    explicit Handle(HANDLE h) : h_(h) {}
    ~Handle() { Close(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    bool Valid() const { return h_ != INVALID_HANDLE_VALUE; }
    HANDLE Get() const { return h_; }
    bool Close() {
        const bool ok = !Valid() || ::CloseHandle(h_);
        h_ = INVALID_HANDLE_VALUE;
        return ok;
    }
    void Reset(HANDLE h) {
        Close();
        h_ = h;
    }

private:
    HANDLE h_;
};

constexpr DWORD KeptAttributes =
    FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
constexpr DWORD ShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

HANDLE Open(const std::string& host, DWORD access, DWORD share, DWORD disposition, DWORD flags = 0) {
    return ::CreateFileW(WideHostPath(host).c_str(), access, share, nullptr, disposition,
                         flags | FILE_ATTRIBUTE_NORMAL, nullptr);
}

int64_t UnixNs(const FILETIME& ft) {
    const int64_t ticks = (int64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime; // 100 ns since 1601
    return (ticks - 116444736000000000LL) * 100;
}

// The file's state from its handle: volume serial and file index, size, last write time.
bool InfoOf(HANDLE h, FileInfo& info) {
    BY_HANDLE_FILE_INFORMATION bi;
    if (!::GetFileInformationByHandle(h, &bi)) return false;
    info.exists = true;
    info.size = (uint64_t(bi.nFileSizeHigh) << 32) | bi.nFileSizeLow;
    info.mtimeNs = UnixNs(bi.ftLastWriteTime);
    info.dev = bi.dwVolumeSerialNumber;
    info.ino = (uint64_t(bi.nFileIndexHigh) << 32) | bi.nFileIndexLow;
    return true;
}

bool SameState(const FileInfo& a, const FileInfo& b) { return a.size == b.size && a.mtimeNs == b.mtimeNs; }

bool WriteAll(HANDLE h, std::string_view bytes) {
    while (!bytes.empty()) {
        DWORD done = 0;
        const DWORD chunk = DWORD(std::min<std::size_t>(bytes.size(), 1u << 24));
        if (!::WriteFile(h, bytes.data(), chunk, &done, nullptr)) return false;
        bytes.remove_prefix(done);
    }
    return true;
}

// Reads the whole open file from its start; false with GetLastError on a read error.
bool ReadAll(HANDLE h, std::string& out) {
    LARGE_INTEGER zero{};
    if (!::SetFilePointerEx(h, zero, nullptr, FILE_BEGIN)) return false;
    char buf[65536];
    for (;;) {
        DWORD n = 0;
        if (!::ReadFile(h, buf, sizeof buf, &n, nullptr)) return false;
        if (n == 0) return true;
        out.append(buf, n);
    }
}

// A directory is refused as such; anything else that is not a file on disk (a pipe, a device) as ENODEV.
int Unreadable(const std::string& host, HANDLE h) {
    const DWORD attr = ::GetFileAttributesW(WideHostPath(host).c_str());
    if (attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY)) return EISDIR;
    if (h != INVALID_HANDLE_VALUE && ::GetFileType(h) != FILE_TYPE_DISK) return ENODEV;
    return 0;
}

} // namespace

int ReadFileInto(const std::string& toolPath, std::string& bytes, FileInfo& info, uint64_t maxSize) {
    info = FileInfo();
    const std::string host = ToHostPath(toolPath);
    if (host.empty()) return ENOENT;
    files::RecoverMissing(host); // a crash while it was saved
    if (const int err = Unreadable(host, INVALID_HANDLE_VALUE)) return err;
    const Handle h(Open(host, GENERIC_READ, ShareAll, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN));
    if (!h.Valid()) return LastErrno();
    if (const int err = Unreadable(host, h.Get())) return err;
    FileInfo st;
    if (!InfoOf(h.Get(), st)) return LastErrno();
    std::string data;
    int err = 0;
    // The state goes with the bytes: a file written to while being read is read again.
    for (int attempt = 0;; ++attempt) {
        if (st.size > maxSize) {
            err = EFBIG;
            break;
        }
        data.clear();
        if (!ReadAll(h.Get(), data)) {
            err = LastErrno();
            break;
        }
        FileInfo after;
        if (!InfoOf(h.Get(), after) || (SameState(st, after) && data.size() == after.size) || attempt == 3) break;
        st = after;
    }
    if (err == 0 || err == EFBIG) info = st;
    if (err) return err;
    bytes = std::move(data);
    return 0;
}

PathState LookUpPath(const std::string& toolPath) {
    const std::string host = ToHostPath(toolPath);
    PathState state;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (host.empty() || !::GetFileAttributesExW(WideHostPath(host).c_str(), GetFileExInfoStandard, &data)) {
        state.err = host.empty() ? ENOENT : LastErrno();
        return state;
    }
    state.kind = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? PathKind::Directory : PathKind::File;
    state.size = (uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return state;
}

int ReadFileHead(const std::string& toolPath, std::string& bytes, std::size_t max) {
    const std::string host = ToHostPath(toolPath);
    if (host.empty()) return ENOENT;
    const Handle h(Open(host, GENERIC_READ, ShareAll, OPEN_EXISTING));
    if (!h.Valid()) return LastErrno();
    // A pipe or a device may never deliver: only a file on disk is read.
    if (::GetFileType(h.Get()) != FILE_TYPE_DISK) return -1;
    std::string data(max, '\0');
    std::size_t got = 0;
    while (got < max) {
        DWORD n = 0;
        if (!::ReadFile(h.Get(), data.data() + got, DWORD(std::min<std::size_t>(max - got, 1u << 24)), &n, nullptr))
            return -1;
        if (n == 0) break;
        got += n;
    }
    data.resize(got);
    bytes = std::move(data);
    return 0;
}

std::FILE* files::OpenHostStream(const std::string& host, const char* mode) {
    // "N": not inherited by programs started from here.
    const std::string m = std::string(mode) + "N";
    return ::_wfopen(WideHostPath(host).c_str(), std::wstring(m.begin(), m.end()).c_str());
}

std::FILE* OpenLocalFileStream(const std::string& host, const char* mode) {
    return files::OpenHostStream(host, mode);
}

void IgnoreBrokenPipe() {} // a write to a closed pipe fails here, it does not end the program

// A file open here cannot be deleted: the stream's mode does not share deletion.
bool StreamFileGone(std::FILE*) {
    return false;
}

bool TruncateStream(std::FILE* f, long size) {
    const errno_t err = ::_chsize_s(::_fileno(f), size);
    if (err != 0) errno = err;
    return err == 0;
}

FileInfo FileInfoOf(const std::string& toolPath) {
    const std::string host = ToHostPath(toolPath);
    FileInfo info;
    if (host.empty()) return info;
    // No access to the data: the look neither waits for nor stands in the way of anyone.
    const Handle h(Open(host, FILE_READ_ATTRIBUTES, ShareAll, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS));
    if (h.Valid() && !InfoOf(h.Get(), info)) info = FileInfo();
    return info;
}

namespace {

std::string NameOf(const WIN32_FIND_DATAW& found) {
    return Utf16ToCp1252(std::u16string(found.cFileName, found.cFileName + wcslen(found.cFileName)));
}

bool Missing(const std::string& host) {
    return ::GetFileAttributesW(WideHostPath(host).c_str()) == INVALID_FILE_ATTRIBUTES &&
           (::GetLastError() == ERROR_FILE_NOT_FOUND);
}

// Deletes the temporary when nobody has it open (a writer holds its temporary open until it is renamed):
// the exclusive open succeeds only then, and deletes it as it closes.
bool DeleteIfAbandoned(const std::string& host) {
    const HANDLE h = Open(host, DELETE, 0, OPEN_EXISTING, FILE_FLAG_DELETE_ON_CLOSE);
    if (h == INVALID_HANDLE_VALUE) return false;
    return ::CloseHandle(h) != 0;
}

} // namespace

bool files::RecoverMissing(const std::string& host) {
    const std::size_t sep = host.rfind('\\');
    if (sep == std::string::npos || !Missing(host)) return false;
    const std::string dir = host.substr(0, sep + 1), name = host.substr(sep + 1);
    WIN32_FIND_DATAW found;
    const HANDLE find = ::FindFirstFileW((WideHostPath(dir) + L"*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return false;
    std::string newest;
    uint64_t newestTime = 0;
    do {
        const std::string entry = NameOf(found);
        const uint64_t time =
            (uint64_t(found.ftLastWriteTime.dwHighDateTime) << 32) | found.ftLastWriteTime.dwLowDateTime;
        if (files::IsCompleteTemp(entry) && AnsiSameText(files::TempTarget(entry), name) &&
            (newest.empty() || time > newestTime)) {
            newest = entry;
            newestTime = time;
        }
    } while (::FindNextFileW(find, &found));
    ::FindClose(find);
    // Not over a file made meanwhile; and not while its writer still holds it (it is about to be named).
    if (newest.empty() || !::MoveFileExW(WideHostPath(dir + newest).c_str(), WideHostPath(host).c_str(),
                                         MOVEFILE_WRITE_THROUGH))
        return false;
    const std::string shown = FromHostPath(host);
    FileNotice(shown, "Die Datei \"" + shown +
                          "\" fehlte nach einem Abbruch beim Sichern; ihre zuletzt "
                          "vollst\xE4ndig gesicherte Fassung wurde wiederhergestellt. Bitte pr\xFC"
                          "fen Sie den "
                          "Inhalt.");
    return true;
}

std::size_t RemoveStaleTemporaries(const std::string& hostDir) {
    WIN32_FIND_DATAW found;
    const HANDLE find = ::FindFirstFileW((WideHostPath(hostDir) + L"\\*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return 0;
    std::size_t removed = 0;
    std::vector<std::string> lost; // files missing whose complete temporary is here
    do {
        const std::string name = NameOf(found);
        if (files::TempOwner(name) == 0 || (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
        // A temporary whose file is missing may be its only copy: a complete one takes the file's place,
        // any other stays.
        const std::string target = IncludeTrailingBackslash(hostDir) + files::TempTarget(name);
        if (Missing(target)) {
            if (files::IsCompleteTemp(name)) lost.push_back(target);
            continue;
        }
        // Not by the process id that the name holds (ids come again): only what nobody has open.
        if (DeleteIfAbandoned(IncludeTrailingBackslash(hostDir) + name)) ++removed;
    } while (::FindNextFileW(find, &found));
    ::FindClose(find);
    for (const std::string& target : lost)
        files::RecoverMissing(target);
    return removed;
}

namespace {

// Holds the old file open for reading while no other program may open it for writing, from before the
// last look until right before the replace. Opening fails while another program has it open for writing:
// that is waited for briefly.
class WriterBlock {
public:
    explicit WriterBlock(const std::string& host) : h_(INVALID_HANDLE_VALUE) {
        for (int attempt = 0; attempt < 20; ++attempt) {
            h_ = Open(host, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, OPEN_EXISTING);
            if (h_ != INVALID_HANDLE_VALUE || ::GetLastError() != ERROR_SHARING_VIOLATION) return;
            busy_ = true;
            ::Sleep(10);
        }
    }
    ~WriterBlock() { Release(); }
    WriterBlock(const WriterBlock&) = delete;
    WriterBlock& operator=(const WriterBlock&) = delete;
    bool Busy() const { return busy_ && h_ == INVALID_HANDLE_VALUE; }
    void Release() {
        if (h_ != INVALID_HANDLE_VALUE) ::CloseHandle(h_);
        h_ = INVALID_HANDLE_VALUE;
    }

private:
    HANDLE h_;
    bool busy_ = false;
};

// Puts temp in the place of host: 0 when replaced; -1 when the last look said no, EBUSY when another
// program keeps the file open for writing, else an errno. Otherwise the file is left as it was.
int Replace(const std::string& temp, const std::string& host, const std::function<bool()>& lastLook) {
    WriterBlock block(host);
    if (block.Busy()) return EBUSY;
    if (lastLook && !lastLook()) return -1;
    block.Release();
    // One rename over the old name: the name holds the old or the new file at every moment, also after a
    // crash. (The system's ReplaceFileW moves the old file away first and the new one in after it: a crash
    // between the two leaves no file under the name.)
    const std::wstring wideHost = WideHostPath(host), wideTemp = WideHostPath(temp);
    if (::MoveFileExW(wideTemp.c_str(), wideHost.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return 0;
    const DWORD error = ::GetLastError();
    return error == ERROR_SHARING_VIOLATION ? EBUSY : ErrnoOfWin32(error);
}

// Writes the temporary and flushes it to disk, keeping it open in h (its writer's mark, see
// RemoveStaleTemporaries; others may rename and delete it); 0 or an errno. written receives its state.
int FillTemp(const std::string& temp, std::string_view bytes, Handle& h, FileInfo* written) {
    h.Reset(Open(temp, GENERIC_WRITE, FILE_SHARE_DELETE, CREATE_NEW));
    if (!h.Valid()) return LastErrno();
    if (!WriteAll(h.Get(), bytes) || !::FlushFileBuffers(h.Get())) return LastErrno();
    if (written) InfoOf(h.Get(), *written);
    return 0;
}

} // namespace

bool WriteFileAtomic(const std::string& toolPath, std::string_view bytes, const std::function<bool()>& lastLook,
                     FileInfo* written) {
    const std::string host = ToHostPath(toolPath);
    if (host.empty()) Fail("geschrieben", toolPath, ENOENT);
    const std::size_t sep = host.rfind('\\');
    const std::string dir = host.substr(0, sep == 2 ? 3 : sep);
    const DWORD dirAttr = ::GetFileAttributesW(WideHostPath(dir).c_str());
    if (dirAttr == INVALID_FILE_ATTRIBUTES) Fail("geschrieben", toolPath, LastErrno());
    if (!(dirAttr & FILE_ATTRIBUTE_DIRECTORY)) Fail("geschrieben", toolPath, ENOTDIR);
    RemoveStaleTemporaries(dir); // also puts back a file that a crash left missing
    DWORD attr = ::GetFileAttributesW(WideHostPath(host).c_str());
    if (attr != INVALID_FILE_ATTRIBUTES) {
        if (attr & FILE_ATTRIBUTE_DIRECTORY) Fail("geschrieben", toolPath, EISDIR);
        if (attr & FILE_ATTRIBUTE_READONLY) Refuse(toolPath, files::ReadOnlyReason());
    }

    std::string temp;
    Handle h(INVALID_HANDLE_VALUE);
    int err = EEXIST;
    for (int attempt = 0; attempt < 8 && err == EEXIST; ++attempt) {
        temp = files::TempNameFor(IncludeTrailingBackslash(dir), host.substr(sep + 1), ::GetCurrentProcessId());
        err = FillTemp(temp, bytes, h, written);
        if (err != 0 && err != EEXIST) ::DeleteFileW(WideHostPath(temp).c_str());
    }
    // The new version looks like the old one (hidden, system, archive) also where the replace does not
    // carry that over.
    if (attr != INVALID_FILE_ATTRIBUTES && err == 0 &&
        !::SetFileAttributesW(WideHostPath(temp).c_str(), attr & KeptAttributes))
        err = LastErrno();
    // Complete and flushed: from here on it may stand in for the file (see files::RecoverMissing).
    const std::string complete = files::CompleteNameOf(temp);
    if (err == 0 &&
        !::MoveFileExW(WideHostPath(temp).c_str(), WideHostPath(complete).c_str(), MOVEFILE_WRITE_THROUGH))
        err = LastErrno();
    if (err) {
        ::DeleteFileW(WideHostPath(temp).c_str());
        Fail("geschrieben", toolPath, err);
    }
    err = Replace(complete, host, lastLook);
    if (err != 0) ::DeleteFileW(WideHostPath(complete).c_str());
    h.Close();
    if (err == EBUSY && !lastLook) Refuse(toolPath, files::BusyReason());
    if (err == EBUSY) return false;
    if (err > 0) Fail("geschrieben", toolPath, err);
    return err == 0;
}

void AppendToFile(const std::string& toolPath, std::string_view bytes) {
    const std::string host = ToHostPath(toolPath);
    if (host.empty()) Fail("geschrieben", toolPath, ENOENT);
    Handle h(Open(host, FILE_APPEND_DATA, ShareAll, OPEN_ALWAYS));
    if (!h.Valid()) Fail("geschrieben", toolPath, LastErrno());
    int err = WriteAll(h.Get(), bytes) ? 0 : LastErrno();
    if (!h.Close() && err == 0) err = LastErrno();
    if (err) Fail("geschrieben", toolPath, err);
}

} // namespace plat
