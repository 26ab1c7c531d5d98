#pragma once
// A temporary directory mapped as a tool drive, with helpers to put files there. Removed on destruction.

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>

#include "platform/Files.h"
#include "platform/Paths.h"

// Host paths are the file system's own: "/" and UTF-8 names on POSIX, native ("X:\a", cp1252) on Windows.
#ifdef _WIN32
constexpr bool kNativeHostPaths = true;
#else
constexpr bool kNativeHostPaths = false;
#endif

// The message of the FileError that f throws, "" when it throws none.
inline std::string FileErrorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const plat::FileError& e) {
        return e.what();
    }
    return {};
}

class TestDrive {
public:
    explicit TestDrive(char letter = 'T') : letter_(letter) {
        namespace fs = std::filesystem;
        std::random_device seed;
        fs::path dir;
        do {
            dir = fs::temp_directory_path() / ("ini4zav-test-" + std::to_string(seed()));
        } while (!fs::create_directory(dir));
        host_ = dir.string();
        plat::SetDriveMapping(letter_, host_);
        oldCwd_ = fs::current_path();
    }
    ~TestDrive() {
        std::error_code ec;
        std::filesystem::current_path(oldCwd_, ec);
        plat::ClearDriveMappings();
        std::filesystem::remove_all(host_, ec);
    }
    TestDrive(const TestDrive&) = delete;
    TestDrive& operator=(const TestDrive&) = delete;

    const std::string& Host() const { return host_; }
    // "T:\" + rel (rel with "\" separators).
    std::string Tool(const std::string& rel = "") const { return std::string(1, letter_) + ":\\" + rel; }
    std::string HostOf(const std::string& rel) const {
        std::string r = rel;
        const char sep = char(std::filesystem::path::preferred_separator);
        for (char& c : r)
            if (c == '\\' || c == '/') c = sep;
        return host_ + sep + r;
    }
    // Writes bytes to host_/rel, creating directories.
    void Put(const std::string& rel, const std::string& bytes) const {
        const std::filesystem::path p = HostOf(rel);
        std::filesystem::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << bytes;
    }
    void MakeDir(const std::string& rel) const { std::filesystem::create_directories(HostOf(rel)); }
    std::string Get(const std::string& rel) const {
        std::ifstream in(HostOf(rel), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    bool Exists(const std::string& rel) const { return std::filesystem::exists(HostOf(rel)); }
    void Chdir(const std::string& rel) const {
        std::filesystem::current_path(HostOf(rel));
    }

private:
    char letter_;
    std::string host_;
    std::filesystem::path oldCwd_;
};
