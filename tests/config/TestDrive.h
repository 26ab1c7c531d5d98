#pragma once
// A temporary directory mapped as a tool drive, with helpers to put files there. Removed on destruction.

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

#include "platform/Paths.h"

class TestDrive {
public:
    explicit TestDrive(char letter = 'T') : letter_(letter) {
        char tmpl[] = "/tmp/ini4zav-test-XXXXXX";
        host_ = ::mkdtemp(tmpl);
        plat::SetDriveMapping(letter_, host_);
        char buf[4096];
        oldCwd_ = ::getcwd(buf, sizeof buf) ? buf : "/";
    }
    ~TestDrive() {
        if (::chdir(oldCwd_.c_str()) != 0) {
        }
        plat::ClearDriveMappings();
        std::error_code ec;
        std::filesystem::remove_all(host_, ec);
    }
    TestDrive(const TestDrive&) = delete;
    TestDrive& operator=(const TestDrive&) = delete;

    const std::string& Host() const { return host_; }
    // "T:\" + rel (rel with "\" separators).
    std::string Tool(const std::string& rel = "") const { return std::string(1, letter_) + ":\\" + rel; }
    std::string HostOf(const std::string& rel) const {
        std::string r = rel;
        for (char& c : r)
            if (c == '\\') c = '/';
        return host_ + "/" + r;
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
        if (::chdir(HostOf(rel).c_str()) != 0) std::abort();
    }

private:
    char letter_;
    std::string host_;
    std::string oldCwd_;
};
