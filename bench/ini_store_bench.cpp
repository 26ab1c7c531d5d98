// The INI store on a large file: load, random reads, write-back. Sizes of 5, 10 and 20 MB show how the cost grows.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <string>

#include "config/IniStore.h"
#include "platform/Paths.h"

namespace {

constexpr int kKeysPerSection = 700;

struct BenchFile {
    std::string host;
    std::string tool;
    int sections = 0;
    std::size_t bytes = 0;
};

// About mb megabytes: sections of 700 keys, lines like "Key123=W123/45" (20 MB hold about a million keys).
const BenchFile& FileOf(int mb) {
    static std::map<int, BenchFile> files;
    auto it = files.find(mb);
    if (it != files.end()) return it->second;
    BenchFile f;
    f.host = (std::filesystem::temp_directory_path() / ("ini4zav-bench-" + std::to_string(mb) + ".ini")).string();
    std::string text;
    const std::size_t target = std::size_t(mb) * 1024 * 1024;
    text.reserve(target + 4096);
    while (text.size() < target) {
        text += "; Abschnitt " + std::to_string(f.sections) + "\r\n[Section" + std::to_string(f.sections) + "]\r\n";
        for (int k = 0; k < kKeysPerSection; ++k)
            text += "Key" + std::to_string(k) + "=W" + std::to_string(k) + "/" + std::to_string(f.sections) + "\r\n";
        text += "\r\n";
        ++f.sections;
    }
    std::ofstream(f.host, std::ios::binary) << text;
    f.bytes = text.size();
    f.tool = plat::FromHostPath(f.host);
    return files.emplace(mb, f).first->second;
}

// Peak resident memory of the process so far.
double PeakRssMb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
    return 0;
}

void BM_Load(benchmark::State& state) {
    const BenchFile& f = FileOf(int(state.range(0)));
    for (auto _ : state) {
        TIniStore ini(f.tool);
        benchmark::DoNotOptimize(ini.SectionCount());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(f.bytes));
    state.counters["keys"] = double(f.sections) * kKeysPerSection;
    state.counters["peak_rss_mb"] = PeakRssMb();
}

void BM_Query100k(benchmark::State& state) {
    const BenchFile& f = FileOf(int(state.range(0)));
    TIniStore ini(f.tool);
    std::mt19937 rng(42);
    std::vector<std::pair<std::string, std::string>> keys;
    keys.reserve(100000);
    for (int i = 0; i < 100000; ++i) {
        // Mixed case, as callers write names; one in ten is missing.
        keys.emplace_back("SECTION" + std::to_string(rng() % unsigned(f.sections)),
                          (i % 10 ? "key" : "nokey") + std::to_string(rng() % kKeysPerSection));
    }
    for (auto _ : state) {
        std::size_t total = 0;
        for (const auto& [s, k] : keys) total += ini.ReadString(s, k, "").size();
        benchmark::DoNotOptimize(total);
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * 100000);
}

void BM_WriteBack(benchmark::State& state) {
    const BenchFile& f = FileOf(int(state.range(0)));
    const std::string copy = f.host + ".out";
    std::filesystem::copy_file(f.host, copy, std::filesystem::copy_options::overwrite_existing);
    TIniStore ini(plat::FromHostPath(copy));
    int n = 0;
    for (auto _ : state) {
        ini.WriteInteger("Section0", "Key0", ++n); // a change, so the write is not skipped
        ini.UpdateFile();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(f.bytes));
    std::filesystem::remove(copy);
}

} // namespace

BENCHMARK(BM_Load)->Arg(5)->Arg(10)->Arg(20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Query100k)->Arg(20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteBack)->Arg(5)->Arg(20)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
