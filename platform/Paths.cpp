#include "platform/Paths.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/Cp1252.h"
#include "platform/Files.h"
#include "platform/Text.h"

namespace plat {
namespace {

bool IsSep(char c) { return c == '\\' || c == '/'; }
bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool HasDrive(std::string_view p) { return p.size() >= 2 && IsLetter(p[0]) && p[1] == ':'; }
char UpperLetter(char c) { return (c >= 'a' && c <= 'z') ? char(c - 0x20) : c; }

std::vector<std::string> SplitComponents(std::string_view p) {
    std::vector<std::string> out;
    std::size_t i = 0;
    while (i < p.size()) {
        while (i < p.size() && IsSep(p[i])) ++i;
        std::size_t j = i;
        while (j < p.size() && !IsSep(p[j])) ++j;
        if (j > i) out.emplace_back(p.substr(i, j - i));
        i = j;
    }
    return out;
}

// "." dropped, ".." removes the previous component (never above the root).
std::vector<std::string> Normalise(const std::vector<std::string>& parts) {
    std::vector<std::string> out;
    for (const auto& c : parts) {
        if (c == ".") continue;
        if (c == "..") {
            if (!out.empty()) out.pop_back();
            continue;
        }
        out.push_back(c);
    }
    return out;
}

std::string Join(const std::vector<std::string>& parts, char sep) {
    std::string out;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i) out += sep;
        out += parts[i];
    }
    return out;
}

// Lexically normal absolute host path ("/a/b"), relative ones taken against the process's directory.
std::string NormalHost(std::string_view host) {
    std::string h(host);
    if (h.empty() || h[0] != '/') {
        char buf[PATH_MAX];
        std::string full = getcwd(buf, sizeof buf) ? buf : "/";
        full += '/';
        full += h;
        h = std::move(full);
    }
    std::vector<std::string> parts;
    std::size_t i = 0;
    while (i < h.size()) {
        while (i < h.size() && h[i] == '/') ++i;
        std::size_t j = i;
        while (j < h.size() && h[j] != '/') ++j;
        if (j > i) parts.emplace_back(h.substr(i, j - i));
        i = j;
    }
    std::string out(1, '/');
    out += Join(Normalise(parts), '/');
    return out;
}

struct Mapping {
    std::string lexical; // normal form of the directory as given
    std::string real;    // with symbolic links resolved (getcwd reports that form)
};

std::mutex gMapLock;
std::map<char, Mapping>& Mappings() {
    static std::map<char, Mapping> m;
    return m;
}

Mapping MappingOf(char letter) {
    std::lock_guard<std::mutex> g(gMapLock);
    auto it = Mappings().find(UpperLetter(letter));
    if (it == Mappings().end()) return {"/", "/"};
    return it->second;
}

bool HostExists(const std::string& host) {
    struct stat st;
    return ::stat(host.c_str(), &st) == 0;
}

std::string JoinHost(const std::string& dir, const std::string& name) {
    if (!dir.empty() && dir.back() == '/') return dir + name;
    return dir + "/" + name;
}

// Length of the prefix dir of host ("/a" is a prefix of "/a" and "/a/b", not of "/ab"); -1 when it is none.
long PrefixLength(const std::string& dir, const std::string& host) {
    if (dir == "/") return 0;
    if (host.compare(0, dir.size(), dir) != 0) return -1;
    if (host.size() == dir.size() || host[dir.size()] == '/') return long(dir.size());
    return -1;
}

void AppendUtf8(std::string& out, char32_t u) {
    if (u < 0x80) {
        out += char(u);
    } else if (u < 0x800) {
        out += char(0xC0 | (u >> 6));
        out += char(0x80 | (u & 0x3F));
    } else {
        out += char(0xE0 | (u >> 12));
        out += char(0x80 | ((u >> 6) & 0x3F));
        out += char(0x80 | (u & 0x3F));
    }
}

} // namespace

std::string Cp1252ToUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) AppendUtf8(out, Cp1252ToUnicode(static_cast<unsigned char>(c)));
    return out;
}

std::string Utf8ToCp1252(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const int extra = (c >= 0xF0 && c < 0xF5) ? 3 : (c >= 0xE0 && c < 0xF0) ? 2 : (c >= 0xC2 && c < 0xE0) ? 1 : 0;
        if (extra > 0 && i + std::size_t(extra) < text.size()) {
            char32_t u = c & (0x3F >> extra);
            bool ok = true;
            for (int k = 1; k <= extra; ++k) {
                const unsigned char d = static_cast<unsigned char>(text[i + std::size_t(k)]);
                if ((d & 0xC0) != 0x80) ok = false;
                u = (u << 6) | (d & 0x3F);
            }
            if (ok) {
                const std::u16string one(1, u <= 0xFFFF ? char16_t(u) : u'?');
                out += Utf16ToCp1252(one);
                i += std::size_t(extra) + 1;
                continue;
            }
        }
        out += char(c); // ASCII, or a byte that is not UTF-8: kept as it is
        ++i;
    }
    return out;
}

std::string GetCurrentDir() {
    char buf[PATH_MAX];
    if (!getcwd(buf, sizeof buf)) return "C:\\";
    return FromHostPath(buf);
}

void SetCurrentDir(const std::string& toolPath) {
    const std::string full = ExpandFileName(toolPath);
    const std::string host = ToHostPath(full);
    struct stat st;
    if (full.empty() || ::stat(host.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        throw FileError("Das Verzeichnis \"" + toolPath + "\" existiert nicht.");
    if (::chdir(host.c_str()) != 0)
        throw FileError("In das Verzeichnis \"" + toolPath + "\" kann nicht gewechselt werden: " +
                        SystemErrorText(errno) + ".");
}

std::string ExpandFileName(std::string_view path) {
    if (path.empty()) return {};
    std::string p(path);
    for (char& c : p)
        if (c == '/') c = '\\';
    const bool trailing = p.back() == '\\';

    // UNC name: "\\server\share\rest" keeps its first two components as the root.
    if (p.size() >= 2 && p[0] == '\\' && p[1] == '\\') {
        auto parts = SplitComponents(p);
        std::vector<std::string> root(parts.begin(), parts.begin() + std::min<std::size_t>(2, parts.size()));
        std::vector<std::string> rest(parts.begin() + long(root.size()), parts.end());
        std::string out = "\\\\" + Join(root, '\\');
        auto norm = Normalise(rest);
        if (!norm.empty()) out += "\\" + Join(norm, '\\');
        if (trailing && !norm.empty()) out += '\\';
        return out;
    }

    std::string drive;
    std::string rooted; // path below the drive's root
    if (HasDrive(p)) {
        drive = p.substr(0, 2);
        if (p.size() > 2 && p[2] == '\\') {
            rooted = p.substr(3);
        } else {
            // Drive-relative: against the current directory when it is on that drive, else the drive's root.
            const std::string cur = GetCurrentDir();
            if (HasDrive(cur) && UpperLetter(cur[0]) == UpperLetter(p[0]))
                rooted = (cur.size() > 3 ? cur.substr(3) + "\\" : std::string()) + p.substr(2);
            else
                rooted = p.substr(2);
        }
    } else {
        const std::string cur = GetCurrentDir();
        drive = HasDrive(cur) ? cur.substr(0, 2) : "C:";
        if (p[0] == '\\')
            rooted = p.substr(1);
        else
            rooted = (cur.size() > 3 ? cur.substr(3) + "\\" : std::string()) + p;
    }
    const auto norm = Normalise(SplitComponents(rooted));
    std::string out = drive + "\\" + Join(norm, '\\');
    if (trailing && !norm.empty()) out += '\\';
    return out;
}

std::string ExtractFilePath(std::string_view path) {
    std::size_t i = path.size();
    while (i > 0 && !IsSep(path[i - 1]) && path[i - 1] != ':') --i;
    return std::string(path.substr(0, i));
}

std::string ExtractFileDir(std::string_view path) {
    std::size_t i = path.size();
    while (i > 0 && !IsSep(path[i - 1]) && path[i - 1] != ':') --i;
    // Keep the separator of a root ("C:\", "\") and a drive's colon.
    if (i > 1 && IsSep(path[i - 1]) && !IsSep(path[i - 2]) && path[i - 2] != ':') --i;
    return std::string(path.substr(0, i));
}

std::string ExtractFileName(std::string_view path) {
    std::size_t i = path.size();
    while (i > 0 && !IsSep(path[i - 1]) && path[i - 1] != ':') --i;
    return std::string(path.substr(i));
}

std::string ExtractFileExt(std::string_view path) {
    const std::string name = ExtractFileName(path);
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos) return {};
    return name.substr(dot);
}

std::string ChangeFileExt(std::string_view path, std::string_view ext) {
    const std::size_t nameStart = path.size() - ExtractFileName(path).size();
    const std::size_t dot = path.rfind('.');
    std::string base(path);
    if (dot != std::string_view::npos && dot >= nameStart) base.resize(dot);
    return base + std::string(ext);
}

std::string IncludeTrailingBackslash(std::string_view path) {
    std::string out(path);
    if (!out.empty() && !IsSep(out.back())) out += '\\';
    return out;
}

std::string ExcludeTrailingBackslash(std::string_view path) {
    std::string out(path);
    if (!out.empty() && IsSep(out.back())) out.pop_back();
    return out;
}

void SetDriveMapping(char letter, std::string hostDir) {
    Mapping m;
    m.lexical = NormalHost(hostDir);
    char buf[PATH_MAX];
    m.real = ::realpath(m.lexical.c_str(), buf) ? std::string(buf) : m.lexical;
    std::lock_guard<std::mutex> g(gMapLock);
    Mappings()[UpperLetter(letter)] = std::move(m);
}

void ClearDriveMappings() {
    std::lock_guard<std::mutex> g(gMapLock);
    Mappings().clear();
}

std::string DriveMapping(char letter) { return MappingOf(letter).lexical; }

bool DriveMapped(char letter) {
    std::lock_guard<std::mutex> g(gMapLock);
    return Mappings().count(UpperLetter(letter)) != 0;
}

std::string UnmappedDriveOf(std::string_view toolPath) {
    const std::string full = ExpandFileName(toolPath);
    if (!HasDrive(full) || DriveMapped(full[0])) return {};
    // The drive of the working directory needs no mapping: it is where the program runs.
    const std::string cur = GetCurrentDir();
    if (HasDrive(cur) && UpperLetter(cur[0]) == UpperLetter(full[0])) return {};
    return std::string(1, UpperLetter(full[0])) + ":";
}

std::string ToHostPath(std::string_view toolPath) {
    const std::string full = ExpandFileName(toolPath);
    if (full.empty()) return {};
    std::string host;
    std::vector<std::string> parts;
    if (HasDrive(full)) {
        host = MappingOf(full[0]).lexical;
        parts = SplitComponents(std::string_view(full).substr(2));
    } else {
        host = "/";
        parts = SplitComponents(full);
    }
    bool lookUp = true; // once a component is missing, nothing below it can exist
    for (const auto& part : parts) {
        std::string name = Cp1252ToUtf8(part);
        std::string candidate = JoinHost(host, name);
        if (lookUp && !HostExists(candidate)) {
            bool found = false;
            if (DIR* d = ::opendir(host.c_str())) {
                while (dirent* e = ::readdir(d)) {
                    if (AnsiSameText(Utf8ToCp1252(e->d_name), part)) {
                        candidate = JoinHost(host, e->d_name);
                        found = true;
                        break;
                    }
                }
                ::closedir(d);
            }
            if (!found) lookUp = false;
        }
        host = std::move(candidate);
    }
    return host;
}

std::string FromHostPath(std::string_view hostPath) {
    const std::string h = NormalHost(hostPath);
    char best = 0;
    long bestLen = -1;
    std::map<char, Mapping> all;
    {
        std::lock_guard<std::mutex> g(gMapLock);
        all = Mappings();
    }
    for (const auto& [letter, m] : all) {
        for (const std::string* dir : {&m.lexical, &m.real}) {
            const long len = PrefixLength(*dir, h);
            if (len > bestLen) {
                bestLen = len;
                best = letter;
            }
        }
    }
    if (bestLen <= 0) {
        // Only the file-system root holds it: the first drive from C: on that maps there.
        best = 'C';
        for (char c = 'C'; c <= 'Z'; ++c) {
            auto it = all.find(c);
            if (it == all.end() || it->second.lexical == "/") {
                best = c;
                break;
            }
        }
        bestLen = 0;
    }
    std::string rest = h.substr(std::size_t(bestLen));
    for (char& c : rest)
        if (c == '/') c = '\\';
    if (!rest.empty() && rest[0] == '\\') rest.erase(0, 1);
    return std::string(1, best) + ":\\" + Utf8ToCp1252(rest);
}

bool FileExists(std::string_view toolPath) {
    if (toolPath.empty()) return false;
    struct stat st;
    return ::stat(ToHostPath(toolPath).c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool DirectoryExists(std::string_view toolPath) {
    if (toolPath.empty()) return false;
    struct stat st;
    return ::stat(ToHostPath(toolPath).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool DeleteFile(std::string_view toolPath) {
    if (toolPath.empty()) return false;
    return ::unlink(ToHostPath(toolPath).c_str()) == 0;
}

} // namespace plat
