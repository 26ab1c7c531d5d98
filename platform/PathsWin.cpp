// Paths on Windows: tool paths are native there. A drive letter is that drive unless [drives] maps it
// to a directory; the file system finds names without regard to case itself.
#include "platform/Paths.h"

#include <cerrno>
#include <windows.h>
#undef DeleteFile

#include "platform/Cp1252.h"
#include "platform/Files.h"
#include "platform/PathsShared.h"
#include "platform/Text.h"
#include "platform/WidePath.h"

namespace plat {
namespace paths {

std::wstring WideHostPath(std::string_view host) {
    const std::u16string u = Cp1252ToUtf16(host);
    std::wstring w(u.begin(), u.end());
    if (w.size() < MAX_PATH - 12 || w.rfind(L"\\\\?\\", 0) == 0) return w;
    if (HasDrive(host)) return L"\\\\?\\" + w;
    if (w.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + w.substr(2);
    return w;
}

int ErrnoOfWin32(unsigned long error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_INVALID_DRIVE: return ENOENT;
    case ERROR_ACCESS_DENIED: return EACCES;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION: return EBUSY;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return ENOSPC;
    case ERROR_FILENAME_EXCED_RANGE: return ENAMETOOLONG;
    case ERROR_TOO_MANY_OPEN_FILES: return EMFILE;
    case ERROR_WRITE_PROTECT: return EROFS;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: return EEXIST;
    case ERROR_DIRECTORY: return ENOTDIR;
    case ERROR_INVALID_NAME: return EINVAL;
    default: return EIO;
    }
}

} // namespace paths

namespace {

using namespace paths;

// Length of the mapped directory dir as a prefix of host (without regard to case, ending at a separator);
// -1 when it is none.
long PrefixLength(const std::string& dir, const std::string& host) {
    if (host.size() < dir.size() || !AnsiSameText(host.substr(0, dir.size()), dir)) return -1;
    if (host.size() == dir.size() || host[dir.size()] == '\\' || dir.back() == '\\') return long(dir.size());
    return -1;
}

// A full native path in tool form: below the drive whose mapped directory is the longest prefix.
std::string ToolFormOf(const std::string& host) {
    char best = 0;
    long bestLen = -1;
    for (const auto& [letter, m] : AllMappings()) {
        const long len = PrefixLength(m.lexical, host);
        if (len > bestLen) {
            bestLen = len;
            best = letter;
        }
    }
    if (bestLen < 0) return host;
    std::string rest = host.substr(std::size_t(bestLen));
    if (!rest.empty() && rest[0] == '\\') rest.erase(0, 1);
    return std::string(1, best) + ":\\" + rest;
}

DWORD AttributesOf(std::string_view toolPath) {
    if (toolPath.empty()) return INVALID_FILE_ATTRIBUTES;
    return ::GetFileAttributesW(WideHostPath(ToHostPath(toolPath)).c_str());
}

} // namespace

std::string GetCurrentDir() {
    wchar_t buf[32768];
    const DWORD n = ::GetCurrentDirectoryW(DWORD(std::size(buf)), buf);
    if (n == 0 || n >= std::size(buf)) return "C:\\";
    std::string host = Utf16ToCp1252(std::u16string(buf, buf + n));
    if (host.rfind("\\\\?\\", 0) == 0) host.erase(0, 4);
    return ToolFormOf(host);
}

void SetCurrentDir(const std::string& toolPath) {
    const std::string full = ExpandFileName(toolPath);
    const DWORD attr = AttributesOf(full);
    if (full.empty() || attr == INVALID_FILE_ATTRIBUTES || !(attr & FILE_ATTRIBUTE_DIRECTORY))
        throw FileError("Das Verzeichnis \"" + toolPath + "\" existiert nicht.");
    if (!::SetCurrentDirectoryW(WideHostPath(ToHostPath(full)).c_str()))
        throw FileError("In das Verzeichnis \"" + toolPath + "\" kann nicht gewechselt werden: " +
                        SystemErrorText(ErrnoOfWin32(::GetLastError())) + ".");
}

void SetDriveMapping(char letter, std::string hostDir) {
    // Given as UTF-8, like every host name handed in from outside the layer.
    std::string dir = ExpandFileName(Utf8ToCp1252(hostDir));
    if (dir.size() > 3) dir = ExcludeTrailingBackslash(dir);
    StoreMapping(letter, Mapping{dir, dir});
}

std::string DriveMapping(char letter) {
    if (const auto m = FindMapping(letter)) return m->lexical;
    return std::string(1, UpperLetter(letter)) + ":\\";
}

std::string ToHostPath(std::string_view toolPath) {
    const std::string full = ExpandFileName(toolPath);
    if (!HasDrive(full)) return full;
    const auto m = FindMapping(full[0]);
    if (!m) return full;
    const std::string rest = full.substr(3);
    return rest.empty() ? m->lexical : IncludeTrailingBackslash(m->lexical) + rest;
}

std::string FromHostPath(std::string_view hostPath) {
    if (hostPath.empty()) return GetCurrentDir();
    // Given as UTF-8, like every host name handed in from outside the layer.
    return ToolFormOf(ExpandFileName(Utf8ToCp1252(hostPath)));
}

std::string HostPathUtf8(std::string_view hostPath) {
    return Cp1252ToUtf8(hostPath);
}

std::string HostDirBeside(const std::string& toolPath, const std::string& hostDir) {
    const bool absolute = HasDrive(hostDir) || (!hostDir.empty() && IsSep(hostDir[0]));
    if (absolute) return hostDir;
    return Cp1252ToUtf8(ExtractFilePath(ToHostPath(toolPath))) + hostDir;
}

bool FileExists(std::string_view toolPath) {
    const DWORD attr = AttributesOf(toolPath);
    return attr != INVALID_FILE_ATTRIBUTES && !(attr & FILE_ATTRIBUTE_DIRECTORY);
}

bool DirectoryExists(std::string_view toolPath) {
    const DWORD attr = AttributesOf(toolPath);
    return attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY);
}

bool DeleteFile(std::string_view toolPath) {
    if (toolPath.empty()) return false;
    return ::DeleteFileW(WideHostPath(ToHostPath(toolPath)).c_str()) != 0;
}

} // namespace plat
