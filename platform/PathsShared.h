#pragma once
// What the POSIX and the Windows body of the path layer share; for platform/ only.

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace plat::paths {

inline bool IsSep(char c) { return c == '\\' || c == '/'; }
inline bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
inline bool HasDrive(std::string_view p) { return p.size() >= 2 && IsLetter(p[0]) && p[1] == ':'; }
inline char UpperLetter(char c) { return (c >= 'a' && c <= 'z') ? char(c - 0x20) : c; }

// The non-empty components between "\" or "/" separators.
std::vector<std::string> SplitComponents(std::string_view p);
// "." dropped, ".." removes the previous component (never above the root).
std::vector<std::string> Normalise(const std::vector<std::string>& parts);
std::string Join(const std::vector<std::string>& parts, char sep);

// A drive's host directory.
struct Mapping {
    std::string lexical; // normal form of the directory as given
    std::string real;    // with symbolic links resolved (the working directory is reported in that form)
};
void StoreMapping(char letter, Mapping m);
std::optional<Mapping> FindMapping(char letter);
std::map<char, Mapping> AllMappings();

} // namespace plat::paths
