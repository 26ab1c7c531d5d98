// The path layer's parts that need no system call: tool path text, the drive table, UTF-8 names.
#include "platform/PathsShared.h"

#include <mutex>

#include "platform/Cp1252.h"
#include "platform/Paths.h"

namespace plat {
namespace paths {

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

namespace {

std::mutex gMapLock;
std::map<char, Mapping>& Mappings() {
    static std::map<char, Mapping> m;
    return m;
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

void StoreMapping(char letter, Mapping m) {
    std::lock_guard<std::mutex> g(gMapLock);
    Mappings()[UpperLetter(letter)] = std::move(m);
}

std::optional<Mapping> FindMapping(char letter) {
    std::lock_guard<std::mutex> g(gMapLock);
    auto it = Mappings().find(UpperLetter(letter));
    if (it == Mappings().end()) return std::nullopt;
    return it->second;
}

std::map<char, Mapping> AllMappings() {
    std::lock_guard<std::mutex> g(gMapLock);
    return Mappings();
}

} // namespace paths

using namespace paths;

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

void ClearDriveMappings() {
    std::lock_guard<std::mutex> g(gMapLock);
    Mappings().clear();
}

bool DriveMapped(char letter) { return FindMapping(letter).has_value(); }

std::string UnmappedDriveOf(std::string_view toolPath) {
    const std::string full = ExpandFileName(toolPath);
    if (!HasDrive(full) || DriveMapped(full[0])) return {};
    // The drive of the working directory needs no mapping: it is where the program runs.
    const std::string cur = GetCurrentDir();
    if (HasDrive(cur) && UpperLetter(cur[0]) == UpperLetter(full[0])) return {};
    return std::string(1, UpperLetter(full[0])) + ":";
}

} // namespace plat
