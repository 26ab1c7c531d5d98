#include "platform/Paths.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <map>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/Cp1252.h"
#include "platform/Files.h"
#include "platform/PathsShared.h"
#include "platform/Text.h"

namespace plat {
namespace {

using namespace paths;

// An unmapped drive is the file-system root.
Mapping MappingOf(char letter) { return FindMapping(letter).value_or(Mapping{"/", "/"}); }


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

} // namespace

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

void SetDriveMapping(char letter, std::string hostDir) {
    Mapping m;
    m.lexical = NormalHost(hostDir);
    char buf[PATH_MAX];
    m.real = ::realpath(m.lexical.c_str(), buf) ? std::string(buf) : m.lexical;
    StoreMapping(letter, std::move(m));
}

std::string DriveMapping(char letter) { return MappingOf(letter).lexical; }

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
    const std::map<char, Mapping> all = AllMappings();
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

std::string HostPathUtf8(std::string_view hostPath) {
    return std::string(hostPath);
}

std::string HostDirBeside(const std::string& toolPath, const std::string& hostDir) {
    if (!hostDir.empty() && hostDir[0] == '/') return hostDir;
    const std::string host = ToHostPath(toolPath);
    return host.substr(0, host.rfind('/') + 1) + hostDir;
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
