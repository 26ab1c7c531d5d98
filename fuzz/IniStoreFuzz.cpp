// Loads arbitrary bytes as an INI file, then runs an arbitrary script of writes, deletes and erasures. After
// every step the store must agree with a plain list model kept beside it, and writing the file back and
// loading it again must give the same store (the written form is a fixed point). Before the script, one
// key is changed and the file saved and loaded again: what a load reads of everything else is unchanged.
//
// Numbers are checked against a reference reading written from the number rule, for every value the store
// holds (those of the file as well as those written), so a fault in hexadecimal digits, in the sign of a
// hexadecimal number or in the decimal range does not go unseen.
//
// Input: two bytes (little-endian) give the length of the file part; the file bytes follow, then the script.

#include "config/IniStore.h"
#include "platform/FileGuard.h"
#include "platform/Paths.h"
#include "platform/Text.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace {

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

// The file's place: a private directory (in memory when /dev/shm exists) mapped as drive F:.
const std::filesystem::path& HostFile() {
    static const std::filesystem::path file = [] {
        namespace fs = std::filesystem;
        std::error_code ec;
        const fs::path base = fs::is_directory("/dev/shm", ec) ? fs::path("/dev/shm") : fs::temp_directory_path();
        std::random_device seed;
        fs::path dir;
        for (int attempt = 0; attempt < 100 && dir.empty(); ++attempt) {
            const fs::path candidate = base / ("ini4zav-fuzz-" + std::to_string(seed()));
            if (fs::create_directory(candidate, ec)) dir = candidate;
        }
        Check(!dir.empty(), "temporary directory");
        plat::SetDriveMapping('F', dir.string());
        return dir / "fuzz.ini";
    }();
    static const bool removedAtExit = std::atexit([] {
        std::error_code ec;
        std::filesystem::remove_all(HostFile().parent_path(), ec);
    }) == 0;
    (void)removedAtExit;
    return file;
}
const char* const kToolFile = "F:\\fuzz.ini";

void PutFile(const std::string& bytes) {
    FILE* f = std::fopen(HostFile().string().c_str(), "wb");
    Check(f != nullptr, "input file written");
    Check(std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size(), "input file written");
    std::fclose(f);
}

// The store as its users see it: sections in order, each with its key and plain lines (comments are never
// visible). A line is a key line when it has an "=", its key is the text before the first "=".
struct Model {
    struct Section {
        std::string name;
        std::vector<std::string> lines;
    };
    std::vector<Section> sections;

    static bool IsKeyLine(const std::string& l) { return l.find('=') != std::string::npos; }
    static std::string KeyOf(const std::string& l) { return l.substr(0, l.find('=')); }

    // Lines end at LF, a CR just before the LF belongs to the line end (in a file without any LF, CR alone
    // ends lines); blank and ";" lines are dropped, "[...]" starts a section, lines before the first section
    // are not part of any. A UTF-8 byte-order mark at the start is no part of the first line.
    void Parse(std::string bytes) {
        if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) bytes.erase(0, 3);
        if (bytes.find('\n') == std::string::npos) std::replace(bytes.begin(), bytes.end(), '\r', '\n');
        std::size_t start = 0;
        while (start < bytes.size()) {
            std::size_t lf = bytes.find('\n', start);
            std::string line;
            if (lf == std::string::npos) {
                line = bytes.substr(start);
                start = bytes.size();
            } else {
                line = bytes.substr(start, lf - start);
                if (!line.empty() && line.back() == '\r') line.pop_back();
                start = lf + 1;
            }
            if (line.empty() || line[0] == ';') continue;
            if (line.size() >= 2 && line.front() == '[' && line.back() == ']')
                sections.push_back({line.substr(1, line.size() - 2), {}});
            else if (!sections.empty())
                sections.back().lines.push_back(line);
        }
    }
    Section* Find(const std::string& name) {
        for (auto& s : sections)
            if (plat::AnsiSameText(s.name, name)) return &s;
        return nullptr;
    }
    static long FindKey(const Section& s, const std::string& key) {
        for (std::size_t i = 0; i < s.lines.size(); ++i)
            if (const std::size_t eq = s.lines[i].find('=');
                eq != std::string::npos && plat::AnsiSameText(std::string_view(s.lines[i]).substr(0, eq), key))
                return long(i);
        return -1;
    }
    void Write(const std::string& sec, const std::string& key, const std::string& value) {
        Section* s = Find(sec);
        if (!s) {
            sections.push_back({sec, {}});
            s = &sections.back();
        }
        const long i = FindKey(*s, key);
        if (i >= 0)
            s->lines[std::size_t(i)] = key + "=" + value;
        else
            s->lines.push_back(key + "=" + value);
    }
    void DeleteKey(const std::string& sec, const std::string& key) {
        if (Section* s = Find(sec)) {
            const long i = FindKey(*s, key);
            if (i >= 0) s->lines.erase(s->lines.begin() + i);
        }
    }
    void Erase(const std::string& sec) {
        for (auto it = sections.begin(); it != sections.end(); ++it)
            if (plat::AnsiSameText(it->name, sec)) {
                sections.erase(it);
                return;
            }
    }
};

// The number rule, read from its description rather than from the store: blanks before the number are
// skipped; "0x"/"0X" followed by hexadecimal digits; otherwise an optional sign, an optional "$" for
// hexadecimal, and digits. Hexadecimal covers the 32-bit pattern ($FFFFFFFF is -1, a sign negates it);
// decimal must lie in the 32-bit range. Anything else, and any overflow, gives the default.
int ReferenceInteger(std::string_view v, int def) {
    while (!v.empty() && v.front() == ' ') v.remove_prefix(1);
    bool negative = false, hex = false;
    if (v.size() > 2 && v[0] == '0' && (v[1] == 'x' || v[1] == 'X')) {
        hex = true;
        v.remove_prefix(2);
    } else {
        if (!v.empty() && (v[0] == '+' || v[0] == '-')) {
            negative = v[0] == '-';
            v.remove_prefix(1);
        }
        if (!v.empty() && v[0] == '$') {
            hex = true;
            v.remove_prefix(1);
        }
    }
    if (v.empty()) return def;
    static const std::string_view kHex = "0123456789abcdef";
    for (char c : v) {
        const char lower = (c >= 'A' && c <= 'Z') ? char(c + 32) : c;
        const std::size_t d = kHex.find(lower);
        if (d == std::string_view::npos || d >= (hex ? 16u : 10u) || (!hex && c != lower)) return def;
    }
    while (v.size() > 1 && v[0] == '0') v.remove_prefix(1);
    if (v.size() > (hex ? 8u : 10u)) return def;
    const unsigned long long n = std::stoull(std::string(v), nullptr, hex ? 16 : 10);
    if (hex) {
        const long long pattern = (long long)(int32_t(uint32_t(n)));
        return int32_t(uint32_t(negative ? -pattern : pattern));
    }
    if (n > (negative ? 2147483648ull : 2147483647ull)) return def;
    return int32_t(uint32_t(negative ? 0 - n : n));
}

// Every read the store offers agrees with the model.
void Compare(const TIniStore& store, Model& model) {
    std::vector<std::string> list;
    store.ReadSections(list);
    Check(list.size() == model.sections.size() && store.SectionCount() == list.size(), "section count");
    for (std::size_t i = 0; i < list.size(); ++i) Check(list[i] == model.sections[i].name, "section names in order");

    for (const auto& sec : model.sections) {
        const Model::Section& first = *model.Find(sec.name); // what lookups of this name reach
        Check(store.SectionExists(plat::AnsiLowerCase(sec.name)), "section found without regard to case");
        store.ReadSectionValues(plat::AnsiUpperCase(sec.name), list);
        Check(list == first.lines, "section values");
        std::vector<std::string> keys;
        for (const auto& l : first.lines)
            if (Model::IsKeyLine(l)) keys.push_back(Model::KeyOf(l));
        store.ReadSection(sec.name, list);
        Check(list == keys, "section keys");
        // The first line of each key answers, with the text after its first "=" (same upper case = same key).
        std::unordered_map<std::string, std::string> answer;
        for (const auto& l : first.lines)
            if (Model::IsKeyLine(l)) answer.emplace(plat::AnsiUpperCase(Model::KeyOf(l)), l.substr(l.find('=') + 1));
        for (const auto& l : first.lines) {
            if (!Model::IsKeyLine(l)) continue;
            const std::string key = Model::KeyOf(l);
            const std::string& value = answer.at(plat::AnsiUpperCase(key));
            Check(store.ValueExists(sec.name, plat::AnsiUpperCase(key)), "key found without regard to case");
            Check(store.ReadString(sec.name, plat::AnsiLowerCase(key), "\x01") == value, "value after the first =");
            const int def = int(value.size()) * 7919 - 1;
            Check(store.ReadInteger(sec.name, key, def) == ReferenceInteger(value, def), "a number reads by the rule");
            Check(store.ReadBool(sec.name, key, false) == (ReferenceInteger(value, 0) != 0), "a boolean is a number");
        }
    }
}

class Script {
public:
    Script(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}
    bool More() const { return p_ < end_; }
    uint8_t Byte() { return p_ < end_ ? *p_++ : 0; }
    // A text without line ends (those cannot round-trip through a line-based file).
    std::string Text(size_t n) {
        n = std::min(n, static_cast<size_t>(end_ - p_));
        std::string s(reinterpret_cast<const char*>(p_), n);
        p_ += n;
        for (char& c : s)
            if (c == '\r' || c == '\n') c = ' ';
        return s;
    }

private:
    const uint8_t* p_;
    const uint8_t* end_;
};

std::string SomeCase(const std::string& s, uint8_t how) {
    return how % 3 == 0 ? s : how % 3 == 1 ? plat::AnsiUpperCase(s) : plat::AnsiLowerCase(s);
}

std::string PickSection(Script& script, const Model& model) {
    const uint8_t b = script.Byte();
    if ((b & 1) && !model.sections.empty())
        return SomeCase(model.sections[(b >> 1) % model.sections.size()].name, script.Byte());
    return script.Text(script.Byte() % 8);
}

// A key that survives a reload: not starting with ";" or "[" and without "=".
std::string PickKey(Script& script, Model& model, const std::string& sec) {
    const uint8_t b = script.Byte();
    if (b & 1) {
        if (const Model::Section* s = model.Find(sec)) {
            std::vector<std::string> keys;
            for (const auto& l : s->lines)
                if (Model::IsKeyLine(l)) keys.push_back(Model::KeyOf(l));
            if (!keys.empty()) return SomeCase(keys[(b >> 1) % keys.size()], script.Byte());
        }
    }
    std::string key = script.Text(script.Byte() % 8);
    std::replace(key.begin(), key.end(), '=', '_');
    if (!key.empty() && (key[0] == ';' || key[0] == '[')) key[0] = '_';
    return key;
}

bool SafeKey(const std::string& key) {
    return key.find('=') == std::string::npos && (key.empty() || (key[0] != ';' && key[0] != '['));
}

// Written back and loaded again: the same store, and the same bytes once more.
void CheckRoundTrip(TIniStore& store, Model& model) {
    const std::string text = store.GetText();
    store.UpdateFile();
    TIniStore again(kToolFile);
    Check(again.Loaded(), "written file loads");
    Check(again.GetText() == text, "written form is a fixed point");
    std::vector<std::string> a, b;
    store.GetStrings(a);
    again.GetStrings(b);
    Check(a == b, "same lines after reload");
    Compare(again, model);
}

// Changes one key (an existing one picked by pick, or a new one in a section of the file), saves, and loads
// again: the new load reads what the model says, which is the old load with that one key changed.
void CheckOneChangeSaved(TIniStore& store, Model& model, uint8_t pick) {
    if (model.sections.empty()) return; // no section to change a key in
    const Model::Section& sec = model.sections[pick % model.sections.size()];
    const std::string name = sec.name;
    std::string key = "\x01neu";
    for (const auto& l : model.Find(name)->lines)
        if (Model::IsKeyLine(l) && SafeKey(Model::KeyOf(l))) key = Model::KeyOf(l);
    store.WriteString(name, key, "ge\xE4ndert");
    model.Write(name, key, "ge\xE4ndert");
    store.UpdateFile();
    TIniStore again(kToolFile);
    Check(again.Loaded(), "saved file loads");
    Compare(again, model);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    // A file that is no INI file is rewritten only on the user's word: here it is always given.
    static const bool confirmed = (plat::SetConfirmQuestion([](const std::string&) { return true; }), true);
    (void)confirmed;
    const size_t fileLen = (size_t(data[0]) | size_t(data[1]) << 8) % (size - 1);
    const std::string bytes(reinterpret_cast<const char*>(data + 2), fileLen);
    PutFile(bytes);

    TIniStore store(kToolFile);
    Check(store.Loaded(), "a regular file loads");
    Model model;
    model.Parse(bytes);
    Compare(store, model);
    CheckRoundTrip(store, model);
    CheckOneChangeSaved(store, model, fileLen < size - 2 ? data[2 + fileLen] : 0);

    Script script(data + 2 + fileLen, size - 2 - fileLen);
    bool writtenUnsafe = false; // a key that cannot survive a reload was written
    bool bulkDone = false;
    for (int steps = 0; script.More() && steps < 64; ++steps) {
        const uint8_t op = script.Byte();
        switch (op % 7) {
        case 0: {
            const std::string sec = PickSection(script, model);
            const std::string key = PickKey(script, model, sec);
            const std::string value = script.Text(script.Byte() % 16);
            store.WriteString(sec, key, value);
            model.Write(sec, key, value);
            Check(store.ReadString(sec, key, "\x01") == value, "a value reads as written");
            writtenUnsafe |= !SafeKey(key);
            break;
        }
        case 1: {
            const std::string sec = PickSection(script, model);
            const std::string key = PickKey(script, model, sec);
            store.DeleteKey(sec, key);
            model.DeleteKey(sec, key);
            break;
        }
        case 2: {
            const std::string sec = PickSection(script, model);
            store.EraseSection(sec);
            model.Erase(sec);
            break;
        }
        case 3: {
            const std::string sec = PickSection(script, model);
            const std::string key = PickKey(script, model, sec);
            const int v = int(uint32_t(script.Byte()) << 24 | uint32_t(script.Byte()) << 8 | script.Byte());
            store.WriteInteger(sec, key, v);
            model.Write(sec, key, std::to_string(v));
            Check(store.ReadInteger(sec, key, v ^ 1) == v, "an integer reads as written");
            Check(store.ReadBool(sec, key, v == 0) == (v != 0), "a number is a boolean");
            break;
        }
        case 4: { // many keys added and deleted again: deletion leaves holes that get compacted
            const std::string sec = PickSection(script, model);
            const int n = 1 + script.Byte() % 160; // enough deletions in a row to compact the section
            if (bulkDone) break; // once per input: the model's lists make it costly
            bulkDone = true;
            const std::string prefix = script.Text(2);
            for (int i = 0; i < n; ++i) {
                const std::string key = "_" + prefix + std::to_string(i);
                store.WriteString(sec, key, std::to_string(i));
                model.Write(sec, key, std::to_string(i));
            }
            for (int i = 0; i < n; i += 1 + (op >> 7)) {
                const std::string key = "_" + prefix + std::to_string(i);
                store.DeleteKey(sec, plat::AnsiUpperCase(key));
                model.DeleteKey(sec, key);
            }
            break;
        }
        case 6: { // a text made of what numbers are made of, read back by the number rule
            const std::string sec = PickSection(script, model);
            const std::string key = PickKey(script, model, sec);
            static const char kAlphabet[] = " 0123456789aAbBcCdDeEfFgxX$-+";
            std::string value;
            for (int n = script.Byte() % 14; n > 0; --n) value += kAlphabet[script.Byte() % (sizeof kAlphabet - 1)];
            store.WriteString(sec, key, value);
            model.Write(sec, key, value);
            writtenUnsafe |= !SafeKey(key);
            break;
        }
        case 5: {
            // A key line that occurs twice: the first answers, and its deletion uncovers the second.
            const std::string sec = PickSection(script, model);
            const std::string key = PickKey(script, model, sec);
            Check(store.ReadString(sec, key, "\x01") ==
                      [&] {
                          const Model::Section* s = model.Find(sec);
                          const long i = s ? Model::FindKey(*s, key) : -1;
                          if (i < 0) return std::string("\x01");
                          const std::string& l = s->lines[std::size_t(i)];
                          return l.substr(l.find('=') + 1);
                      }(),
                  "lookup of a picked key");
            break;
        }
        }
        Compare(store, model);
    }
    if (!writtenUnsafe) CheckRoundTrip(store, model);
    return 0;
}
