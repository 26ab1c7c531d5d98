#pragma once
// Thread names, so that a debugger, top or perf tells the program's threads apart.

#include <string>

namespace plat {

// Names the calling thread. Where the system allows only short names (15 bytes on Linux) the name is cut.
void NameThisThread(const std::string& name);
// The calling thread's name as the system keeps it ("" when it keeps none).
std::string ThisThreadName();

} // namespace plat
