#pragma once
// The tool family the user chose in the program: a folder holding the program's own INI file and the tool
// folders (ed4vam, mon4vam, Reader). The choice is kept per user in an INI file of our own below the user's
// configuration folder and used at the next start unless "/i=" names the program's INI file; it wins over a
// program INI file in the working directory (the start-menu entry starts in a folder with an example copy).

#include <QString>

#include <string>
#include <vector>

namespace family {

// The file the choice is kept in: <user configuration folder>/ini4zav/werkzeugfamilie.ini.
QString SettingsFile();
// The folder last chosen (host path), empty when none was.
QString Remembered();
void Remember(const QString& hostDir);

// The name the program's own INI file has: the program's file name with ".ini" (from args[0]).
std::string ProgramIniName(const std::vector<std::string>& args);
// The program's INI file in hostDir (host path, any letter case), empty when there is none.
QString ProgramIniIn(const QString& hostDir, const std::string& iniName);
// Why hostDir is no tool family (German, for the user), empty when it is one: it holds the program's INI
// file and at least one tool INI file in its tool folder.
std::string Problem(const QString& hostDir, const std::string& iniName);
// The remembered family's program INI file as a tool path for the start, empty when there is none (any more).
std::string StartIni(const std::vector<std::string>& args);
// When a family was remembered but its program INI file is not found any more (folder deleted or renamed,
// stick not plugged in): a German note naming the folder; empty otherwise.
std::string LostNote(const std::vector<std::string>& args);

} // namespace family
