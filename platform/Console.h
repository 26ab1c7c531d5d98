#pragma once
// The terminal a program's text answers (--help, --version) go to.

namespace plat {

// Makes standard output and standard error reach the terminal the program was started from. A Windows GUI
// program has none of its own: it writes into its parent's console, unless the output is redirected (a file,
// a pipe), which stays as it is. Elsewhere the terminal is there already and nothing changes.
void UseParentConsole();

} // namespace plat
