#include "platform/FileGuard.h"

#include <cerrno>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace plat {
namespace {

struct Guard {
    std::mutex lock;
    ConflictQuestion question;
    ConfirmQuestion confirm;
    FileNoticeSink sink;
    struct Waiting {
        std::string file, text;
        bool box;
    };
    std::vector<Waiting> waiting;
};
Guard& G() {
    static Guard g;
    return g;
}

} // namespace

uint64_t HashBytes(std::string_view bytes) {
    // FNV-1a, 64 bits: enough to tell a changed file from an unchanged one.
    uint64_t h = 0xcbf29ce484222325ull;
    for (unsigned char c : bytes) {
        h ^= c;
        h *= 0x100000001b3ull;
    }
    return h ^ bytes.size();
}

FileStamp StampFile(const std::string& toolPath, std::string_view bytes) {
    return StampOf(FileInfoOf(toolPath), bytes);
}

FileStamp StampOf(const FileInfo& info, std::string_view bytes) {
    FileStamp s;
    if (!info.exists) return s;
    s.exists = true;
    s.size = info.size;
    s.mtimeNs = info.mtimeNs;
    s.dev = info.dev;
    s.ino = info.ino;
    s.hash = HashBytes(bytes);
    return s;
}

bool ChangedOnDisk(const std::string& toolPath, const FileStamp& stamp, std::string* diskBytes) {
    const FileInfo now = FileInfoOf(toolPath);
    if (!now.exists || !stamp.exists) return now.exists != stamp.exists;
    // Another size is another content. The same size, time and inode are no proof of the same bytes (a
    // rewrite in place within one clock tick keeps them all): the bytes are compared.
    if (now.size != stamp.size) return true;
    std::string bytes;
    if (!TryReadFileBytes(toolPath, bytes)) return true;
    const bool changed = HashBytes(bytes) != stamp.hash;
    if (diskBytes) *diskBytes = std::move(bytes);
    return changed;
}

void SetConflictQuestion(ConflictQuestion question) {
    std::lock_guard<std::mutex> g(G().lock);
    G().question = std::move(question);
}

Conflict AskConflict(const std::string& toolPath) {
    ConflictQuestion q;
    {
        std::lock_guard<std::mutex> g(G().lock);
        q = G().question;
    }
    return q ? q(toolPath) : Conflict::Cancel;
}

void SetConfirmQuestion(ConfirmQuestion question) {
    std::lock_guard<std::mutex> g(G().lock);
    G().confirm = std::move(question);
}

bool AskConfirm(const std::string& text) {
    ConfirmQuestion q;
    {
        std::lock_guard<std::mutex> g(G().lock);
        q = G().confirm;
    }
    return q && q(text);
}

namespace {

// One round of WriteBack; nothing when the file changed while the new version was written (it was then
// left as it was).
std::optional<WriteBackResult> WriteBackOnce(const std::string& toolPath, std::string_view bytes, FileStamp& stamp,
                                             bool editedHere, std::string& diskBytes) {
    diskBytes.clear();
    FileInfo written;
    if (ChangedOnDisk(toolPath, stamp, &diskBytes)) {
        Conflict answer = Conflict::TakeFromDisk;
        if (editedHere) answer = AskConflict(toolPath);
        if (answer == Conflict::Cancel)
            throw WriteCancelled("Die Datei \"" + toolPath + "\" wurde nicht gesichert: sie wurde au\xDF" "erhalb "
                                 "des Programms ge\xE4" "ndert. Die \xC4" "nderungen sind noch nicht gesichert.",
                                 editedHere);
        if (answer == Conflict::TakeFromDisk) {
            // What cannot be read cannot be taken; nor may it be written over unseen.
            const int err = diskBytes.empty() ? ReadFileInto(toolPath, diskBytes) : 0;
            if (err != 0 && err != ENOENT)
                throw WriteCancelled("Die Datei \"" + toolPath + "\" wurde au\xDF" "erhalb des Programms ge\xE4" "ndert "
                                     "und kann nicht gelesen werden: " + SystemErrorText(err) + ".");
            return WriteBackResult::TakeFromDisk;
        }
        diskBytes.clear();
        if (!WriteFileAtomic(toolPath, bytes, [] { return true; }, &written)) return std::nullopt;
        stamp = StampOf(written, bytes);
        return WriteBackResult::Written;
    }
    // Unchanged since the load: equal bytes need no write (the stamp may only have been touched).
    std::string existing;
    FileInfo info;
    if (stamp.exists && stamp.hash == HashBytes(bytes) && ReadFileInto(toolPath, existing, info, stamp.size) == 0 &&
        existing == bytes) {
        stamp = StampOf(info, existing);
        return WriteBackResult::AlreadyOnDisk;
    }
    // Looked at again once the new version is complete, right before it replaces the file: a change made
    // while it was written is not overwritten but goes the way of any change on disk.
    if (!WriteFileAtomic(toolPath, bytes, [&] { return !ChangedOnDisk(toolPath, stamp); }, &written))
        return std::nullopt;
    stamp = StampOf(written, bytes);
    return WriteBackResult::Written;
}

} // namespace

WriteBackResult WriteBack(const std::string& toolPath, std::string_view bytes, FileStamp& stamp, bool editedHere,
                          std::string& diskBytes) {
    // A change made while the new version was written goes the way of any change on disk; a file that
    // another program keeps changing under the write is given up after a few rounds.
    for (int round = 0; round < 3; ++round)
        if (const auto result = WriteBackOnce(toolPath, bytes, stamp, editedHere, diskBytes)) return *result;
    throw WriteCancelled("Die Datei \"" + toolPath + "\" wurde nicht gesichert: ein anderes Programm \xE4" "ndert "
                         "sie gerade. Die \xC4" "nderungen sind noch nicht gesichert.");
}

void SetFileNoticeSink(FileNoticeSink sink) {
    std::vector<Guard::Waiting> waiting;
    {
        std::lock_guard<std::mutex> g(G().lock);
        G().sink = std::move(sink);
        if (G().sink) waiting.swap(G().waiting);
    }
    for (auto& w : waiting) FileNotice(w.file, w.text, w.box);
}

void FileNotice(const std::string& file, const std::string& text, bool box) {
    FileNoticeSink sink;
    {
        std::lock_guard<std::mutex> g(G().lock);
        if (!G().sink) {
            if (G().waiting.size() < 64) G().waiting.push_back({file, text, box});
            return;
        }
        sink = G().sink;
    }
    sink(file, text, box);
}

} // namespace plat
