#pragma once
// The operating system's own text for an error number, in the 8-bit code page of the program's texts.

#include <string>

namespace plat {

// The system's text for its own error number: errno on POSIX, a system error code on Windows (in the
// user's language, without the line end). Empty when the system has no text for it.
std::string SystemErrorText(long long number);

// The C run-time's text for an errno value (the same words on every system), or empty.
std::string ErrnoText(int number);

} // namespace plat
