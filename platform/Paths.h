#pragma once
// Paths as the tool family writes them ("V:\mon4vam\mon4vam.ini"), and their mapping to this machine.
// Tool paths are cp1252 text with drive letters and "\" separators; "/" is accepted as "\". Host paths are
// the file system's own (UTF-8 names, "/" separators). EVERY file access goes through ToHostPath.

#include <string>
#include <string_view>

namespace plat {

// Full path relative to the current directory: "x" and "C:x" (drive-relative), "\x" (root of the current
// drive), ".", "..", doubled separators, "/" as "\". A trailing "\" is kept. "" stays "".
std::string ExpandFileName(std::string_view path);
// Directory part including its trailing "\" (or the drive "C:"), "" when there is none.
std::string ExtractFilePath(std::string_view path);
// Directory part without a trailing "\" (except for a root, "C:\").
std::string ExtractFileDir(std::string_view path);
// Name after the last "\", "/" or drive colon.
std::string ExtractFileName(std::string_view path);
// Extension of the name part including the dot, "" when there is none.
std::string ExtractFileExt(std::string_view path);
// Replaces the extension of the name part (ext includes its dot; "" removes the extension).
std::string ChangeFileExt(std::string_view path, std::string_view ext);
// path with exactly one trailing "\" added when it has none; "" stays "".
std::string IncludeTrailingBackslash(std::string_view path);
std::string ExcludeTrailingBackslash(std::string_view path);

// The process's working directory in tool form, e.g. "C:\work\x".
std::string GetCurrentDir();
// Makes toolPath the working directory; throws plat::FileError (German) when it does not exist.
void SetCurrentDir(const std::string& toolPath);

// Drive letters map to host directories; an unmapped drive is the file-system root.
void SetDriveMapping(char letter, std::string hostDir);
void ClearDriveMappings();
// The host directory a drive letter maps to ("/" when unmapped).
std::string DriveMapping(char letter);
// Whether the letter was given a directory (SetDriveMapping).
bool DriveMapped(char letter);
// "V:" when toolPath names a drive that has no mapping and is not the working directory's drive (such a
// path lands below the file-system root, which is rarely what was meant); "" otherwise.
std::string UnmappedDriveOf(std::string_view toolPath);

// Tool path -> host path: expanded against the current directory, drive mapped, "\" -> "/", each component
// that does not exist with this exact case looked up without regard to case (cp1252 rules).
std::string ToHostPath(std::string_view toolPath);
// Host path (UTF-8, absolute or relative to the process's working directory) -> tool form, using the drive
// whose mapped directory is the longest prefix; "C:" when none is.
std::string FromHostPath(std::string_view hostPath);
// A path as ToHostPath gives it, in UTF-8 (for Qt and the user's eyes): on Windows ToHostPath's names are
// cp1252, the form the file layer hands to the wide API.
std::string HostPathUtf8(std::string_view hostPath);

// A host directory (UTF-8) given absolute or relative to the folder of the file toolPath names, made absolute.
std::string HostDirBeside(const std::string& toolPath, const std::string& hostDir);

bool FileExists(std::string_view toolPath);      // a directory is not a file
bool DirectoryExists(std::string_view toolPath);
bool DeleteFile(std::string_view toolPath);      // false when it could not be deleted

// UTF-8 <-> cp1252 for host names (characters outside cp1252 become '?').
std::string Cp1252ToUtf8(std::string_view text);
std::string Utf8ToCp1252(std::string_view text);

} // namespace plat
