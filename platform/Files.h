#pragma once
// Whole-file reads, line splitting, atomic replacement and appends, all on tool paths (see Paths.h).

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

std::string ReadFileBytes(const std::string& toolPath); // throws FileError
bool TryReadFileBytes(const std::string& toolPath, std::string& bytes);

// Lines separated by CR LF or LF; a final line end does not add an empty line.
std::vector<std::string> SplitLines(std::string_view text);

// Replaces (or creates) the file: a temporary file in the same directory is written, flushed to disk and
// renamed over the old one. On failure the old file is untouched, the temporary removed, FileError thrown.
void WriteFileAtomic(const std::string& toolPath, std::string_view bytes);
// Appends bytes, creating the file when missing. Throws FileError.
void AppendToFile(const std::string& toolPath, std::string_view bytes);

} // namespace plat
