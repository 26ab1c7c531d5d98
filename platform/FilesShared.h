#pragma once
// What the POSIX and the Windows body of the file layer share; for platform/ only.

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace plat::files {

// Throws FileError: "Die Datei "<toolPath>" kann nicht <what> werden: <system's reason>." (err an errno).
[[noreturn]] void Fail(const char* what, const std::string& toolPath, int err);
// Throws FileError for a write refused for reason (German, the part after "kann nicht geschrieben werden: ").
[[noreturn]] void Refuse(const std::string& toolPath, const std::string& reason);
std::string ReadOnlyReason();
std::string BusyReason();
std::string ReplacedReason(); // another program saved the file under its name meanwhile

// fopen on a host path (the system's body).
std::FILE* OpenHostStream(const std::string& host, const char* mode);

// Our temporaries are named ".<name>.ini4zav~<pid>.<6 characters>": a crash leaves at most one of them, and
// a later write into the folder removes those whose process is gone. dirWithSep ends in the separator.
std::string TempNameFor(const std::string& dirWithSep, const std::string& name, uint64_t pid);
// The process id of one of our temporary names, or 0 when the name is not one of them.
uint64_t TempOwner(std::string_view name);
// Where the system has no atomic replace of its own (Windows), a temporary gets a second name once it is
// complete and flushed: ".<name>.ini4zav+<pid>.<6 characters>". Only such a one may stand in for a file
// that a crash left missing.
std::string CompleteNameOf(const std::string& temp);
bool IsCompleteTemp(std::string_view name);
// When the file at host is missing and a complete temporary of it lies beside it (a crash between its
// completion and its rename), the newest one takes the file's place and the user is told; true when it did.
// Windows only (elsewhere the replace is one step and leaves no such temporary).
bool RecoverMissing(const std::string& host);
// The name of the file one of our temporary names belongs to ("a.ini" for ".a.ini.ini4zav~12.abcdef").
std::string TempTarget(std::string_view name);

} // namespace plat::files
