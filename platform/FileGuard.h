#pragma once
// Write-back that respects the file on disk. Everything the program loads, lets the user edit and saves
// again remembers what it loaded (size, modification time, inode and a hash of the bytes). Before writing
// back it looks at the disk again, so another program's change is never overwritten without the user's
// word: when nothing was edited here the file on disk is taken instead, and when both changed the user is
// asked. Also the channel for messages about files that the user should see.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/Files.h"

namespace plat {

struct FileStamp {
    bool exists = false;
    uint64_t size = 0;
    int64_t mtimeNs = 0;
    uint64_t dev = 0, ino = 0;
    uint64_t hash = 0;
};

uint64_t HashBytes(std::string_view bytes);
// The stamp of bytes just read from or written to toolPath: the file's status now and the bytes' hash.
// A file that does not exist gives a stamp with exists false.
FileStamp StampFile(const std::string& toolPath, std::string_view bytes);
// The stamp of bytes read from or written to a file in the state info (taken from the descriptor used).
FileStamp StampOf(const FileInfo& info, std::string_view bytes);

// Whether the file on disk no longer holds what stamp describes. Another size is a change without reading;
// otherwise the file is read (its bytes go to diskBytes) and compared by hash, so a touch that left the
// bytes alone is no change. A file that cannot be read counts as changed.
bool ChangedOnDisk(const std::string& toolPath, const FileStamp& stamp, std::string* diskBytes = nullptr);

// The answer to "the file changed on disk and here".
enum class Conflict { Overwrite, TakeFromDisk, Cancel };
using ConflictQuestion = std::function<Conflict(const std::string& toolPath)>;
// The GUI installs the question; without one the answer is Cancel (nothing is decided silently).
void SetConflictQuestion(ConflictQuestion question);
Conflict AskConflict(const std::string& toolPath);

// A yes/no question before a write that needs the user's word (German text). The GUI installs it; without
// one the answer is no.
using ConfirmQuestion = std::function<bool(const std::string& text)>;
void SetConfirmQuestion(ConfirmQuestion question);
bool AskConfirm(const std::string& text);

// The user chose not to write (or a write was refused to protect the file): nothing was written, and the
// caller keeps its edits.
struct WriteCancelled : FileError {
    explicit WriteCancelled(const std::string& message, bool byUser = false) : FileError(message), ByUser(byUser) {}
    bool ByUser; // the user answered a question with "cancel" or "no" (he need not be asked again)
};

enum class WriteBackResult { Written, AlreadyOnDisk, TakeFromDisk };
// The one rule for writing back a file loaded earlier (stamp from the load):
//  - the disk holds what was loaded: bytes are written atomically (nothing when the file holds them); the
//    disk is looked at once more right before the new version replaces the file;
//  - the disk changed and nothing was edited here: nothing is written, TakeFromDisk, diskBytes filled;
//  - both changed: AskConflict; Overwrite writes, TakeFromDisk as above, Cancel throws WriteCancelled.
// After Written/AlreadyOnDisk the stamp describes the file as written or read (from the descriptor used).
// FileError when the write fails.
WriteBackResult WriteBack(const std::string& toolPath, std::string_view bytes, FileStamp& stamp, bool editedHere,
                          std::string& diskBytes);

// --- messages about files --------------------------------------------------------------------------
// A German message about a file (a load problem, a lost log line). The GUI shows each in its status bar
// and, once per file, in a box (box false: the status bar only, for what must not stop the user's work);
// messages given before it is ready wait for it.
using FileNoticeSink = std::function<void(const std::string& file, const std::string& text, bool box)>;
void SetFileNoticeSink(FileNoticeSink sink); // passes the waiting messages on at once
void FileNotice(const std::string& file, const std::string& text, bool box = true);

} // namespace plat
