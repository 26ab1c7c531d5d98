#pragma once
// Windows only: the one place where a host path (cp1252, "X:\a\b" or "\\server\share\a") becomes the
// UTF-16 name the wide file API takes; long names get the "\\?\" prefix. For platform/ only.

#include <string>
#include <string_view>

namespace plat::paths {

std::wstring WideHostPath(std::string_view host);
// errno for a Windows error code (GetLastError), as the file layer's callers compare them.
int ErrnoOfWin32(unsigned long error);

} // namespace plat::paths
