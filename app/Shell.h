#pragma once
// The desktop's "open" of a document (the help files).

#include <functional>
#include <string>

namespace shell {

// Asks the desktop to open the file at a tool-family path with its registered program. A file that
// does not exist, or that no program opens, fails without a message.
void ShellOpen(const std::string& toolPath);

// Tests replace the desktop: every request goes to hook instead (an empty hook restores the desktop).
void SetOpenHook(std::function<void(const std::string&)> hook);

} // namespace shell
