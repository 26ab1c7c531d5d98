#include "config/IniStore.h"

#include <cerrno>
#include <cstdint>
#include <unordered_map>
#include <unordered_set>

#include "platform/FileGuard.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/Text.h"

namespace cfg {

enum class LineKind : uint8_t { Key, Plain, Comment, Dead };

struct IniLine {
    std::string raw;
    uint32_t keyLen = 0; // position of the first "=" (Key lines only)
    LineKind kind = LineKind::Plain;
    std::string_view Key() const { return std::string_view(raw).substr(0, keyLen); }
};

// The key index holds line numbers and hashes/compares the keys of those lines, so keys are not stored twice.
struct KeyHash {
    const std::vector<IniLine>* lines;
    using is_transparent = void;
    std::size_t operator()(uint32_t i) const { return plat::AnsiNoCaseHashOf((*lines)[i].Key()); }
    std::size_t operator()(std::string_view key) const { return plat::AnsiNoCaseHashOf(key); }
};
struct KeyEqual {
    const std::vector<IniLine>* lines;
    using is_transparent = void;
    bool operator()(uint32_t a, uint32_t b) const { return plat::AnsiSameText((*lines)[a].Key(), (*lines)[b].Key()); }
    bool operator()(uint32_t a, std::string_view b) const { return plat::AnsiSameText((*lines)[a].Key(), b); }
    bool operator()(std::string_view a, uint32_t b) const { return plat::AnsiSameText(a, (*lines)[b].Key()); }
};

struct IniSection {
    explicit IniSection(std::string n) : name(std::move(n)), index(0, KeyHash{&lines}, KeyEqual{&lines}) {}
    IniSection(const IniSection&) = delete;
    IniSection& operator=(const IniSection&) = delete;

    std::string name;
    std::vector<std::string> leading; // comment lines written just before the header
    std::vector<IniLine> lines;
    std::size_t dead = 0;
    std::size_t duplicates = 0; // key lines hidden behind an earlier line of the same key
    std::unordered_set<uint32_t, KeyHash, KeyEqual> index; // first line of each key

    // Line number of the key's first line, or -1.
    long FindKey(std::string_view key) const {
        auto it = index.find(key);
        return it == index.end() ? -1 : long(*it);
    }

    void Add(std::string raw, bool comment) {
        IniLine line;
        line.raw = std::move(raw);
        if (comment) {
            line.kind = LineKind::Comment;
        } else {
            const std::size_t eq = line.raw.find('=');
            if (eq != std::string::npos) {
                line.kind = LineKind::Key;
                line.keyLen = uint32_t(eq);
            }
        }
        lines.push_back(std::move(line));
        if (lines.back().kind == LineKind::Key && !index.insert(uint32_t(lines.size() - 1)).second)
            ++duplicates; // a duplicate is not indexed
    }

    void Compact() {
        std::vector<IniLine> kept;
        kept.reserve(lines.size() - dead);
        for (auto& l : lines)
            if (l.kind != LineKind::Dead) kept.push_back(std::move(l));
        index.clear();
        lines = std::move(kept);
        dead = 0;
        duplicates = 0;
        for (uint32_t i = 0; i < lines.size(); ++i)
            if (lines[i].kind == LineKind::Key && !index.insert(i).second) ++duplicates;
    }
};

} // namespace cfg

using cfg::IniLine;
using cfg::IniSection;
using cfg::LineKind;

struct TIniStore::SectionIndex {
    std::unordered_map<std::string, IniSection*, plat::AnsiNoCaseHash, plat::AnsiNoCaseEqual> first;
};

namespace {

bool IsHeader(std::string_view line) { return line.size() >= 2 && line.front() == '[' && line.back() == ']'; }

// Decimal with optional sign, "$hex" (also after the sign), or "0x"/"0X" followed by hex. Leading blanks are
// skipped as the tools' number reading does; anything else, or an overflow, is not a number.
bool ParseInteger(std::string_view s, int& out) {
    std::size_t i = 0;
    while (i < s.size() && s[i] == ' ') ++i;
    s.remove_prefix(i);
    if (s.empty()) return false;
    bool negative = false;
    bool hex = false;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        hex = true;
        s.remove_prefix(2);
    } else {
        if (s[0] == '-' || s[0] == '+') {
            negative = s[0] == '-';
            s.remove_prefix(1);
        }
        if (!s.empty() && s[0] == '$') {
            hex = true;
            s.remove_prefix(1);
        }
    }
    if (s.empty()) return false;
    uint64_t v = 0;
    for (char c : s) {
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (hex && c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (hex && c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return false;
        v = v * (hex ? 16 : 10) + uint64_t(d);
        if (v > 0xFFFFFFFFull) return false;
    }
    if (hex) {
        // Hexadecimal covers the 32-bit pattern: $FFFFFFFF is -1.
        int32_t r = int32_t(uint32_t(v));
        out = negative ? int(-int64_t(r)) : int(r);
        return true;
    }
    if (negative ? v > 2147483648ull : v > 2147483647ull) return false;
    out = negative ? int(-int64_t(v)) : int(v);
    return true;
}

} // namespace

std::string TIniStore::WhyNotReadable(const std::string& fileName) {
    if (fileName.empty()) return {};
    const plat::PathState st = plat::LookUpPath(fileName);
    if (st.err != 0) {
        const int err = st.err;
        if (err == ENOENT || err == ENOTDIR) {
            const std::string drive = plat::UnmappedDriveOf(fileName);
            if (drive.empty()) return {}; // simply missing: an empty store, no message
            return "das Laufwerk " + drive + " ist keinem Verzeichnis zugeordnet (Abschnitt [drives] der "
                   "Programm-INI-Datei)";
        }
        return plat::SystemErrorText(err);
    }
    if (st.kind == plat::PathKind::Directory) return "es ist ein Ordner, keine Datei";
    if (st.kind != plat::PathKind::File) return plat::SystemErrorText(ENODEV);
    if (st.size > MaxFileSize) return TooBig(st.size);
    return {};
}

std::string TIniStore::TooBig(uint64_t size) {
    const uint64_t mb = (size + (1u << 20) - 1) >> 20;
    return "sie ist mit " + std::to_string(mb) + " MB zu gro\xDF f\xFC" "r eine INI-Datei (h\xF6" "chstens " +
           std::to_string(MaxFileSize >> 20) + " MB)";
}

namespace {

void SayMissing(const std::string& fileName) {
    const bool dangling = plat::LookUpPath(fileName).kind == plat::PathKind::DanglingLink;
    plat::FileNotice(fileName, "Die Datei \"" + fileName + "\" " +
                                   (dangling ? "ist eine Verkn\xFC" "pfung, deren Ziel fehlt."
                                             : "ist nicht vorhanden."));
}

} // namespace

TIniStore::TIniStore(std::string fileName, IfMissing ifMissing)
    : fileName_(std::move(fileName)), index_(std::make_unique<SectionIndex>()) {
    if (fileName_.empty()) return;
    std::string why = WhyNotReadable(fileName_);
    std::string bytes;
    plat::FileInfo info;
    if (why.empty()) {
        const int err = plat::ReadFileInto(fileName_, bytes, info, MaxFileSize);
        if (err == ENOENT) { // missing (perhaps vanished meanwhile)
            if (ifMissing == IfMissing::Say) SayMissing(fileName_);
            return;
        }
        if (err == EFBIG) why = TooBig(info.size);
        else if (err != 0) why = plat::SystemErrorText(err);
    }
    if (!why.empty()) {
        loadError_ = why;
        // A folder named as one ("...\", a file name left empty in the settings) is no file to complain about.
        if (fileName_.back() == '\\' || fileName_.back() == '/') return;
        plat::FileNotice(fileName_, "Die Datei \"" + fileName_ + "\" kann nicht gelesen werden: " + why +
                                        ". Sie wird nicht \xFC" "berschrieben.");
        return;
    }
    stamp_ = plat::StampOf(info, bytes);
    Load(bytes);
    baseline_ = plat::HashBytes(GetText());
    if (!notIni_.empty())
        plat::FileNotice(fileName_, "Die Datei \"" + fileName_ + "\" ist keine INI-Datei (" + notIni_ +
                                        "); sie wird nicht zur\xFC" "ckgeschrieben, solange sie hier nicht "
                                        "ge\xE4" "ndert wird.");
    if (lineEnd_ == "\r")
        plat::FileNotice(fileName_, "Die Datei \"" + fileName_ + "\" hat nur CR als Zeilenende; die Zeilen "
                                    "werden so gelesen und so zur\xFC" "ckgeschrieben.");
    if (bom_)
        plat::FileNotice(fileName_, "Die Datei \"" + fileName_ + "\" beginnt mit einer UTF-8-Kennung (BOM); sie "
                                    "wird beim Lesen \xFC" "bersprungen und beim Schreiben beibehalten.");
}

TIniStore::~TIniStore() = default;

void TIniStore::Load(std::string_view bytes) {
    // A UTF-8 byte-order mark before the first line is no part of it (and is written back).
    if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") {
        bom_ = true;
        bytes.remove_prefix(3);
    }
    // Written back with the line ends it came with: CR LF, or LF when its first line ends so, or CR alone
    // in a file without any LF.
    const std::size_t firstLf = bytes.find('\n');
    if (firstLf != std::string_view::npos && (firstLf == 0 || bytes[firstLf - 1] != '\r')) lineEnd_.assign(1, '\n');
    const char lineBreak = firstLf == std::string_view::npos && bytes.find('\r') != std::string_view::npos ? '\r' : '\n';
    if (lineBreak == '\r') lineEnd_.assign(1, '\r');
    if (bytes.find('\0') != std::string_view::npos) notIni_ = "sie enth\xE4" "lt Bin\xE4" "rdaten (NUL-Bytes)";
    IniSection* current = nullptr;
    std::vector<std::string> pending; // comments after a blank line: they belong to what follows
    bool afterBlank = false;
    auto flushPending = [&] {
        for (auto& c : pending) {
            if (current)
                current->Add(std::move(c), true);
            else
                preamble_.push_back(std::move(c));
        }
        pending.clear();
    };
    std::size_t start = 0;
    while (start < bytes.size()) {
        std::size_t lf = bytes.find(lineBreak, start);
        std::size_t end = lf == std::string_view::npos ? bytes.size() : lf;
        std::size_t next = lf == std::string_view::npos ? bytes.size() : lf + 1;
        if (lineBreak == '\n' && end > start && bytes[end - 1] == '\r' && lf != std::string_view::npos) --end;
        const std::string_view line = bytes.substr(start, end - start);
        start = next;

        if (line.empty()) {
            afterBlank = true;
        } else if (line[0] == ';') {
            if (afterBlank || !pending.empty())
                pending.emplace_back(line);
            else if (current)
                current->Add(std::string(line), true);
            else
                preamble_.emplace_back(line);
        } else if (IsHeader(line)) {
            sections_.push_back(std::make_unique<IniSection>(std::string(line.substr(1, line.size() - 2))));
            current = sections_.back().get();
            current->leading = std::move(pending);
            pending.clear();
            index_->first.emplace(current->name, current); // a later duplicate keeps the first
            afterBlank = false;
        } else {
            flushPending();
            if (current)
                current->Add(std::string(line), false);
            else
                preamble_.emplace_back(line);
            afterBlank = false;
        }
    }
    flushPending();
    if (notIni_.empty() && sections_.empty() && bytes.find_first_not_of(" \t\r\n") != std::string_view::npos)
        notIni_ = "sie hat keinen einzigen Abschnitt";
}

IniSection* TIniStore::Find(std::string_view section) const {
    auto it = index_->first.find(section);
    return it == index_->first.end() ? nullptr : it->second;
}

IniSection& TIniStore::FindOrAdd(std::string_view section) {
    if (IniSection* s = Find(section)) return *s;
    sections_.push_back(std::make_unique<IniSection>(std::string(section)));
    IniSection* s = sections_.back().get();
    index_->first.emplace(s->name, s);
    return *s;
}

std::string TIniStore::ReadString(std::string_view section, std::string_view key, std::string_view def) const {
    const IniSection* s = Find(section);
    if (!s) return std::string(def);
    const long i = s->FindKey(key);
    if (i < 0) return std::string(def);
    const IniLine& line = s->lines[std::size_t(i)];
    return line.raw.substr(line.keyLen + 1);
}

int TIniStore::ReadInteger(std::string_view section, std::string_view key, int def) const {
    const IniSection* s = Find(section);
    if (!s) return def;
    const long i = s->FindKey(key);
    if (i < 0) return def;
    const IniLine& line = s->lines[std::size_t(i)];
    int v;
    return ParseInteger(std::string_view(line.raw).substr(line.keyLen + 1), v) ? v : def;
}

bool TIniStore::ReadBool(std::string_view section, std::string_view key, bool def) const {
    return ReadInteger(section, key, def ? 1 : 0) != 0;
}

void TIniStore::WriteString(std::string_view section, std::string_view key, std::string_view value) {
    modified_ = true;
    IniSection& s = FindOrAdd(section);
    std::string raw;
    raw.reserve(key.size() + 1 + value.size());
    raw.append(key).append(1, '=').append(value);
    const long i = s.FindKey(key);
    if (i >= 0) {
        // Same key without regard to case, so the line keeps its place in the index.
        IniLine& line = s.lines[std::size_t(i)];
        line.raw = std::move(raw);
        line.keyLen = uint32_t(key.size());
        return;
    }
    s.Add(std::move(raw), false);
}

void TIniStore::WriteInteger(std::string_view section, std::string_view key, int value) {
    WriteString(section, key, std::to_string(value));
}

void TIniStore::WriteBool(std::string_view section, std::string_view key, bool value) {
    WriteString(section, key, value ? "1" : "0");
}

void TIniStore::ReadSections(std::vector<std::string>& list) const {
    list.clear();
    for (const auto& s : sections_) list.push_back(s->name);
}

void TIniStore::ReadSection(std::string_view section, std::vector<std::string>& list) const {
    list.clear();
    if (const IniSection* s = Find(section))
        for (const auto& l : s->lines)
            if (l.kind == LineKind::Key) list.emplace_back(l.Key());
}

void TIniStore::ReadSectionValues(std::string_view section, std::vector<std::string>& list) const {
    list.clear();
    if (const IniSection* s = Find(section))
        for (const auto& l : s->lines)
            if (l.kind == LineKind::Key || l.kind == LineKind::Plain) list.push_back(l.raw);
}

void TIniStore::EraseSection(std::string_view section) {
    modified_ = true;
    IniSection* s = Find(section);
    if (!s) return;
    index_->first.erase(index_->first.find(section));
    IniSection* next = nullptr;
    for (auto it = sections_.begin(); it != sections_.end();) {
        if (it->get() == s) {
            it = sections_.erase(it);
        } else {
            if (!next && plat::AnsiSameText((*it)->name, section)) next = it->get();
            ++it;
        }
    }
    // A later section of the same name now answers the lookups (it must come after the erased one).
    if (next) index_->first.emplace(next->name, next);
}

void TIniStore::DeleteKey(std::string_view section, std::string_view key) {
    modified_ = true;
    IniSection* s = Find(section);
    if (!s) return;
    const long i = s->FindKey(key);
    if (i < 0) return;
    s->index.erase(uint32_t(i));
    s->lines[std::size_t(i)].kind = LineKind::Dead;
    ++s->dead;
    // A second line with the same key now answers (looked for only when the section has such lines).
    for (std::size_t j = std::size_t(i) + 1; s->duplicates > 0 && j < s->lines.size(); ++j) {
        const IniLine& l = s->lines[j];
        if (l.kind == LineKind::Key && plat::AnsiSameText(l.Key(), key)) {
            s->index.insert(uint32_t(j));
            --s->duplicates;
            break;
        }
    }
    if (s->dead > 64 && s->dead * 2 > s->lines.size()) s->Compact();
}

bool TIniStore::SectionExists(std::string_view section) const { return Find(section) != nullptr; }

bool TIniStore::ValueExists(std::string_view section, std::string_view key) const {
    const IniSection* s = Find(section);
    return s && s->FindKey(key) >= 0;
}

bool TIniStore::BlankLineFirst() const {
    // A first line that begins with the byte-order mark's bytes (the file had a blank line before them)
    // would lose them to the next load as a mark: the blank line keeps them part of the line.
    return !bom_ && !preamble_.empty() && preamble_.front().compare(0, 3, "\xEF\xBB\xBF") == 0;
}

void TIniStore::GetStrings(std::vector<std::string>& list) const {
    list.clear();
    if (BlankLineFirst()) list.emplace_back();
    for (const auto& p : preamble_) list.push_back(p);
    for (const auto& s : sections_) {
        for (const auto& c : s->leading) list.push_back(c);
        list.push_back("[" + s->name + "]");
        for (const auto& l : s->lines)
            if (l.kind != LineKind::Dead) list.push_back(l.raw);
        list.emplace_back();
    }
}

std::string TIniStore::GetText() const {
    std::size_t size = 2;
    // A line that ends in CR (a stray CR before the line end, or at the end of the file) would lose it when
    // read back after a bare LF: such a store is written with CR LF, which keeps the CR.
    auto endsInCr = [](const std::string& l) { return !l.empty() && l.back() == '\r'; };
    bool crLf = lineEnd_ != "\n";
    for (const auto& p : preamble_) crLf = crLf || endsInCr(p);
    for (const auto& s : sections_) {
        for (const auto& c : s->leading) crLf = crLf || endsInCr(c);
        for (const auto& l : s->lines) crLf = crLf || (l.kind != LineKind::Dead && endsInCr(l.raw));
    }
    const std::string_view eol = lineEnd_ == "\r" ? std::string_view(lineEnd_)
                                 : crLf            ? std::string_view("\r\n")
                                                   : std::string_view(lineEnd_);
    for (const auto& p : preamble_) size += p.size() + eol.size();
    for (const auto& s : sections_) {
        for (const auto& c : s->leading) size += c.size() + eol.size();
        size += s->name.size() + 2 + 2 * eol.size();
        for (const auto& l : s->lines) size += l.raw.size() + eol.size();
    }
    std::string out;
    out.reserve(size + 3);
    if (bom_) out = "\xEF\xBB\xBF";
    if (BlankLineFirst()) out.append(eol);
    auto line = [&out, eol](std::string_view text) {
        out.append(text);
        out.append(eol);
    };
    for (const auto& p : preamble_) line(p);
    for (const auto& s : sections_) {
        for (const auto& c : s->leading) line(c);
        out.append(1, '[').append(s->name).append(1, ']').append(eol);
        for (const auto& l : s->lines)
            if (l.kind != LineKind::Dead) line(l.raw);
        out.append(eol);
    }
    return out;
}

bool TIniStore::Edited() const { return modified_ && plat::HashBytes(GetText()) != baseline_; }

void TIniStore::ReloadFrom(std::string_view bytes, const plat::FileInfo& info) {
    preamble_.clear();
    sections_.clear();
    index_ = std::make_unique<SectionIndex>();
    lineEnd_ = "\r\n";
    bom_ = false;
    notIni_.clear();
    Load(bytes);
    stamp_ = plat::StampOf(info, bytes);
    baseline_ = plat::HashBytes(GetText());
    modified_ = false;
}

UpdateResult TIniStore::UpdateFile() {
    if (fileName_.empty()) return UpdateResult::Nothing;
    if (!loadError_.empty()) {
        if (!modified_) return UpdateResult::Nothing; // nothing to save, and the file must not be replaced by an empty store
        throw plat::WriteCancelled("Die Datei \"" + fileName_ + "\" konnte nicht gelesen werden und wird nicht \xFC" "berschrieben (" +
                                   loadError_ + "). Die \xC4" "nderungen sind nicht gesichert.");
    }
    // Nothing edited here: the file stays as it is, in whatever form it has, and a missing one is not made.
    if (!Edited()) return TakeChangeFromDisk();
    if (!notIni_.empty()) {
        // What is plainly no INI file is rewritten only on the user's word, and only with edits of his.
        if (!plat::AskConfirm("Die Datei \"" + fileName_ + "\" ist keine INI-Datei (" + notIni_ +
                              "). Soll sie trotzdem mit Ihren \xC4" "nderungen \xFC" "berschrieben werden?"))
            throw plat::WriteCancelled("Die Datei \"" + fileName_ + "\" wurde nicht \xFC" "berschrieben, weil sie "
                                       "keine INI-Datei ist. Die \xC4" "nderungen sind nicht gesichert.",
                                       true);
    }
    const std::string text = GetText();
    std::string disk;
    switch (plat::WriteBack(fileName_, text, stamp_, true, disk)) {
    case plat::WriteBackResult::TakeFromDisk:
        return TakeChangeFromDisk();
    case plat::WriteBackResult::AlreadyOnDisk:
        modified_ = false;
        baseline_ = plat::HashBytes(text);
        return UpdateResult::Nothing;
    case plat::WriteBackResult::Written:
        break;
    }
    modified_ = false;
    baseline_ = plat::HashBytes(text);
    notIni_.clear(); // the user's word made it his INI file
    return UpdateResult::Written;
}

// Takes the file's content when another program changed it since it was loaded or written here. A file
// that became unreadable or too big is left alone, and so is the store.
UpdateResult TIniStore::TakeChangeFromDisk() {
    modified_ = false;
    if (!plat::ChangedOnDisk(fileName_, stamp_)) return UpdateResult::Nothing;
    std::string bytes;
    plat::FileInfo info;
    const int err = plat::ReadFileInto(fileName_, bytes, info, MaxFileSize);
    if (err != 0 && err != ENOENT) {
        plat::FileNotice(fileName_, "Die Datei \"" + fileName_ + "\" wurde au\xDF" "erhalb des Programms ge\xE4" "ndert "
                                    "und wird nicht neu gelesen: " +
                                        (err == EFBIG ? TooBig(info.size) : plat::SystemErrorText(err)) + ".",
                         false);
        return UpdateResult::Nothing;
    }
    ReloadFrom(bytes, info);
    return UpdateResult::TakenFromDisk;
}
