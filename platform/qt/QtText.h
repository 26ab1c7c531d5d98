#pragma once
// The one place where the program's 8-bit text meets the widgets' QString.

#include <QString>
#include <string>

namespace plat {
QString ToQ(const std::string& text);
std::string FromQ(const QString& text);
// A host path (ToHostPath's form) as the user reads it: UTF-16, with this system's separators.
QString HostToQ(const std::string& hostPath);
} // namespace plat
