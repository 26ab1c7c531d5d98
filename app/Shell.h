#pragma once
// The desktop's "open" of a document (the help files) and of a web address (the manual).

#include <functional>
#include <string>

class QUrl;

namespace shell {

// Asks the desktop to open the file at a tool-family path with its registered program. False, without a
// message, when the file does not exist or no program opens it.
bool ShellOpen(const std::string& toolPath);
// Asks the desktop's browser to open url; false when no program could be started.
bool OpenUrl(const QUrl& url);

// Tests replace the desktop: every request goes to a hook instead (an empty hook restores the desktop). A
// file request reaches the hook only when the file exists; a URL hook answers whether it could open it.
void SetOpenHook(std::function<void(const std::string&)> hook);
void SetUrlHook(std::function<bool(const QUrl&)> hook);

} // namespace shell
