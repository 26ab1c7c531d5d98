#pragma once
// Whole-file reads, line splitting, atomic replacement and appends, all on tool paths (see Paths.h).

#include <cstdint>
#include <cstdio>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace plat {

// A file operation failed. The message is German and names the file and the system's reason.
struct FileError : std::runtime_error {
    explicit FileError(const std::string& message) : std::runtime_error(message) {}
};

// German text for an errno value (falls back to the system's text).
std::string SystemErrorText(int err);

// The state of a file as its descriptor saw it.
struct FileInfo {
    bool exists = false;
    uint64_t size = 0;
    int64_t mtimeNs = 0;
    uint64_t dev = 0, ino = 0;
};

// The state of the file now, looked up by name (exists false when it cannot be).
FileInfo FileInfoOf(const std::string& toolPath);

// What a name stands for, looked up without opening it. err is the errno when it could not be looked
// at (ENOENT for a missing one); a symbolic link whose target is missing is a DanglingLink.
enum class PathKind { Missing, File, Directory, Other, DanglingLink };
struct PathState {
    PathKind kind = PathKind::Missing;
    uint64_t size = 0;
    int err = 0;
};
PathState LookUpPath(const std::string& toolPath);
// Up to max bytes from the start of the file, without waiting on a pipe or terminal: 0, the errno when the
// file cannot be opened, or -1 when it cannot be read (bytes then stay as they were).
int ReadFileHead(const std::string& toolPath, std::string& bytes, std::size_t max);
// The file opened as a C stream (fopen's modes); nullptr with errno set. Only a regular file is opened,
// never waiting (ENODEV for a pipe, socket or device, EISDIR for a folder), and not inherited by programs
// started from here.
std::FILE* OpenFileStream(const std::string& toolPath, const char* mode);
// The same for a name of this machine's file system (not a tool path).
std::FILE* OpenLocalFileStream(const std::string& host, const char* mode);
// A write into a pipe or socket whose reader went away fails (EPIPE) instead of ending the program.
void IgnoreBrokenPipe();
// Whether the open stream's file has no name any more (deleted, or its folder removed): what is written
// there can never be read.
bool StreamFileGone(std::FILE* f);
// Cuts an open stream's file back to size bytes; false with errno set when the system refuses.
bool TruncateStream(std::FILE* f, long size);

std::string ReadFileBytes(const std::string& toolPath); // throws FileError
bool TryReadFileBytes(const std::string& toolPath, std::string& bytes);
// The same, answering 0 or the errno of the failure (ENODEV for a pipe, socket or device).
int ReadFileInto(const std::string& toolPath, std::string& bytes);
// The same, refusing a file above maxSize with EFBIG before reading it, and filling info with the state of
// the file whose bytes were read (read again when it changed while being read).
int ReadFileInto(const std::string& toolPath, std::string& bytes, FileInfo& info, uint64_t maxSize);

// Lines separated by CR LF or LF; a final line end does not add an empty line.
std::vector<std::string> SplitLines(std::string_view text);

// Replaces (or creates) the file: an unnamed temporary file in the same directory (O_TMPFILE; a named one
// where the file system has none) is written, given the old file's owner, group, mode and extended
// attributes, flushed to disk, and only then named and renamed over the old one, so that a crash leaves
// either the old or the new file and no temporary. A symbolic link stays a link, also a dangling one: its
// target is written (refused when the target's folder does not exist). Refused with a FileError naming the
// file: a read-only file (no write permission, also for the administrator), and a file whose owner, group
// or extended attributes the new version could not keep. On failure the old file is untouched and the
// temporary removed. Our own temporaries left by crashed runs in that folder are removed first.
// Where the file system has leases (Linux), the file is not replaced while another program has it open for
// writing (a short wait for it to finish), nor when one opens it for writing while it is replaced: it would
// write into the replaced file. Such a write is refused with a FileError, or, with lastLook, gives false.
// lastLook, when given, is asked once the new version is complete, right before it replaces the file: when
// it answers false nothing is replaced and the result is false. written, when given, receives the state of
// the new file as written (from its own descriptor, not looked up again by name).
bool WriteFileAtomic(const std::string& toolPath, std::string_view bytes, const std::function<bool()>& lastLook = {},
                     FileInfo* written = nullptr);
// Removes temporaries of WriteFileAtomic left in a host folder by processes that no longer run; the count.
std::size_t RemoveStaleTemporaries(const std::string& hostDir);
// Appends bytes, creating the file when missing. Throws FileError.
void AppendToFile(const std::string& toolPath, std::string_view bytes);

} // namespace plat
