#pragma once
// The in-memory INI store: the whole file is read on creation, reads and writes work on memory, and the file
// changes only on UpdateFile. Section names and keys compare without regard to case (cp1252); nothing is
// trimmed. Lookups are hashed. Comment lines (";" first) and lines before the first section are kept in their
// places when the file is written back, but they are never keys and no read or list returns them; blank lines
// are normalised (one after each section); a file with LF line ends keeps them. A section name that occurs twice gives two sections; lookups find
// the first.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/FileGuard.h"

namespace cfg {
struct IniSection;
}

// What UpdateFile did.
enum class UpdateResult {
    Nothing,       // nothing to write (no file name, the file holds these bytes, or it must not be written)
    Written,       // the file now holds the store
    TakenFromDisk, // the file changed on disk and the store took its content instead of writing
};

class TIniStore {
public:
    // Loads the file (tool path). A missing file gives an empty store. A directory or a file that cannot be
    // read gives an empty store too, which then refuses UpdateFile rather than overwrite what is there.
    // An empty file name gives an empty store that is never written. A UTF-8 byte-order mark is skipped
    // (and written back), CR-only line ends are line ends. Every load problem is told through
    // plat::FileNotice, naming the file and the cause.
    // With IfMissing::Say a missing file (also a link whose target is missing) is told through
    // plat::FileNotice: for files the settings name, whose absence the user should know of.
    enum class IfMissing { Quiet, Say };
    explicit TIniStore(std::string fileName, IfMissing ifMissing = IfMissing::Quiet);
    ~TIniStore();
    TIniStore(const TIniStore&) = delete;
    TIniStore& operator=(const TIniStore&) = delete;

    const std::string& FileName() const { return fileName_; }
    // False when the file existed but could not be read (the store then refuses to write it).
    bool Loaded() const { return loadError_.empty(); }
    const std::string& LoadError() const { return loadError_; }
    // Why the file is plainly no INI file (NUL bytes, no section at all), "" when it is one.
    const std::string& NotIniReason() const { return notIni_; }
    // Whether the store differs from what was loaded (or last written).
    bool Edited() const;
    // Why a file cannot be loaded ("" when it can, or when it is simply missing); German.
    static std::string WhyNotReadable(const std::string& fileName);
    // INI files above this size are refused unread: the tool family's files are a few kilobytes, and a file
    // of this size (the benchmark uses 20 MB) already takes a noticeable time to load, again on every tab switch.
    static constexpr uint64_t MaxFileSize = 32u << 20;

    std::string ReadString(std::string_view section, std::string_view key, std::string_view def) const;
    // "0x"/"0X" followed by hex digits, "$" followed by hex digits, or decimal; anything else gives def.
    int ReadInteger(std::string_view section, std::string_view key, int def) const;
    bool ReadBool(std::string_view section, std::string_view key, bool def) const;
    void WriteString(std::string_view section, std::string_view key, std::string_view value);
    void WriteInteger(std::string_view section, std::string_view key, int value);
    void WriteBool(std::string_view section, std::string_view key, bool value);

    // Section names in file order (duplicates included).
    void ReadSections(std::vector<std::string>& list) const;
    // Keys of the section's key lines, in order.
    void ReadSection(std::string_view section, std::vector<std::string>& list) const;
    // The section's raw lines ("key=value", and lines without "="), in order.
    void ReadSectionValues(std::string_view section, std::vector<std::string>& list) const;
    void EraseSection(std::string_view section);
    void DeleteKey(std::string_view section, std::string_view key);
    bool SectionExists(std::string_view section) const;
    bool ValueExists(std::string_view section, std::string_view key) const;

    // The store as it is written: lines of the file format (comments in place, one empty line per section).
    void GetStrings(std::vector<std::string>& list) const;
    // The same as the file's bytes: CR LF line ends, or LF when the file read had LF line ends (unless a line
    // ends in CR, which only survives a CR LF line end).
    std::string GetText() const;
    // Writes GetText to the file atomically by the write-back rule of plat::WriteBack, but only when the store
    // was edited: an unedited store leaves the file as it is (no normal form forced on it, no file made where
    // none was). When the file changed on disk since the load, the store takes it from disk if nothing was
    // edited here, and the user is asked if both changed. Throws plat::FileError when the
    // write fails and plat::WriteCancelled when it was refused; the store keeps its content either way. A
    // file that could not be read on creation is never replaced (a WriteCancelled when there are changes);
    // a file that is no INI file is not rewritten unless edited here, and then only on the user's word.
    UpdateResult UpdateFile();

    // Number of sections (for statistics and tests).
    std::size_t SectionCount() const { return sections_.size(); }

private:
    cfg::IniSection* Find(std::string_view section) const;
    cfg::IniSection& FindOrAdd(std::string_view section);
    void Load(std::string_view bytes);
    void ReloadFrom(std::string_view bytes, const plat::FileInfo& info);
    UpdateResult TakeChangeFromDisk();
    static std::string TooBig(uint64_t size);
    bool BlankLineFirst() const;

    struct SectionIndex;
    std::string fileName_;
    std::string loadError_;
    std::string lineEnd_ = "\r\n";
    bool modified_ = false;
    bool bom_ = false;
    std::string notIni_;
    plat::FileStamp stamp_;
    uint64_t baseline_ = 0; // hash of GetText as loaded or last written
    std::vector<std::string> preamble_; // lines before the first section
    std::vector<std::unique_ptr<cfg::IniSection>> sections_;
    std::unique_ptr<SectionIndex> index_;
};
