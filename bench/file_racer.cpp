// Saves racing other programs' saves (Linux): the INI store saves a 20 MB file again and again, one key
// edited each time, while a second program saves the same file the way most editors do (reads it, adds a
// line, writes a file of its own and renames it over the name) and a third appends lines. The store never
// overwrites a change it has not seen (a change on disk is taken from disk), so every line the other two
// added must be in the file at the end. Prints the count of their saves and of those lost; exits with 1
// when one is lost.
//
// Each of their saves falls at a random moment after a save of the store began, between 0.3 and 1.1 times
// the time the store's last written save took (up to --pause ms before one was written), so that many fall
// into the store's save, near its end too.
//
//   build-bench/bench/file_racer [--ops N (300)] [--mb N (20)] [--pause MS (600)]

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <unistd.h>

#include "config/IniStore.h"
#include "platform/FileGuard.h"
#include "platform/Paths.h"

namespace {

std::string ReadHost(const std::string& host) {
    std::ifstream in(host, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

} // namespace

int main(int argc, char** argv) {
    int ops = 300, mb = 20, pause = 600;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string opt = argv[i];
        if (opt == "--ops")
            ops = std::atoi(argv[i + 1]);
        else if (opt == "--mb")
            mb = std::atoi(argv[i + 1]);
        else if (opt == "--pause")
            pause = std::max(1, std::atoi(argv[i + 1]));
    }
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("ini4zav-racer-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    plat::SetDriveMapping('R', dir.string());
    const std::string host = (dir / "race.ini").string();
    {
        std::string text = "[gen]\r\nn=0\r\n[body]\r\n";
        for (int k = 0; text.size() < std::size_t(mb) << 20; ++k)
            text.append("k").append(std::to_string(k)).append("=fill\r\n");
        text += "[tail]\r\n";
        std::ofstream(host, std::ios::binary) << text;
    }
    // Never overwrite a change made elsewhere: the store takes it instead.
    plat::SetConflictQuestion([](const std::string&) { return plat::Conflict::TakeFromDisk; });

    std::atomic<bool> done{false};
    std::atomic<int> saveBegun{0};
    std::atomic<int> writtenMs{0}; // how long the store's last save that wrote took
    int renameSaves = 0, appends = 0;
    std::thread others([&] {
        std::mt19937 random(20261208);
        int seen = 0;
        for (int n = 0; n < ops; ++n) {
            // An editor's save is ready before the store's save begins, and renamed at a moment that falls
            // in the store's save (often near its end, where the new version replaces the file).
            const std::string temp = (dir / ("race.ini.editor" + std::to_string(n))).string();
            if (n % 2 == 0)
                std::ofstream(temp, std::ios::binary) << ReadHost(host) + "r" + std::to_string(n) + "=1\r\n";
            while (saveBegun == seen)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            seen = saveBegun;
            const int typical = writtenMs;
            const int wait = typical > 0 ? int(typical * (0.3 + 0.8 * (random() % 1000) / 1000.0))
                                         : int(random() % unsigned(pause));
            std::this_thread::sleep_for(std::chrono::milliseconds(wait));
            if (n % 2 == 0) {
                std::rename(temp.c_str(), host.c_str());
                ++renameSaves;
            } else {
                const std::string line = std::string("a").append(std::to_string(n)).append("=1\r\n");
                const int fd = ::open(host.c_str(), O_WRONLY | O_APPEND);
                if (fd >= 0 && ::write(fd, line.data(), line.size()) == ssize_t(line.size())) ++appends;
                if (fd >= 0) ::close(fd);
            }
        }
        done = true;
    });
    int saves = 0, taken = 0, refused = 0;
    const auto start = std::chrono::steady_clock::now();
    TIniStore store("R:\\race.ini");
    while (!done) {
        store.WriteString("gen", "n", std::to_string(++saves));
        ++saveBegun;
        const auto begun = std::chrono::steady_clock::now();
        try {
            if (store.UpdateFile() == UpdateResult::TakenFromDisk)
                ++taken;
            else
                writtenMs = int(std::chrono::duration_cast<std::chrono::milliseconds>(
                                    std::chrono::steady_clock::now() - begun)
                                    .count());
        } catch (const plat::FileError&) {
            ++refused; // another program kept writing: tried again next round
        }
    }
    others.join();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    const std::string final = ReadHost(host);
    int lost = 0;
    for (int n = 0; n < ops; ++n) {
        const std::string line = "\r\n" + std::string(n % 2 == 0 ? "r" : "a") + std::to_string(n) + "=1\r\n";
        if (final.find(line) == std::string::npos) ++lost;
    }
    std::printf("%d MB file, %.0f s: store saves %d (written %d, taken from disk %d, refused %d); other "
                "programs' saves %d "
                "(rename %d, append %d), lost %d\n",
                mb, seconds, saves, saves - taken - refused, taken, refused, renameSaves + appends,
                renameSaves, appends, lost);
    fs::remove_all(dir);
    return lost == 0 ? 0 : 1;
}
