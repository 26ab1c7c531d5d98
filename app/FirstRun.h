#pragma once
// A first run that cannot go wrong: the example tool family that comes with the program is offered as a
// copy of the user's own in the documents folder (the installed one is not the user's to write), and a
// family the user cannot write is said once, plainly, with the offer to copy it.

#include <QString>

#include <string>

namespace firstrun {

// The example tool family installed with the program (<prefix>/share/ini4zav/examples/vamtools beside the
// program), else the source tree's; empty when neither exists.
QString ExampleFamily();
// Where the user's copy of the family in folder source goes: <documents folder>/ini4zav/<folder's name>.
QString CopyTarget(const QString& source);
// The user can write the family in hostDir: a file can be made in the folder and programIni (when given) is
// writable.
bool Writable(const QString& hostDir, const QString& programIni = {});
// Copies the family source into target, folders and all. A file already in target is kept (it holds the
// user's edits); every copy is writable for the user. Empty on success, else what failed (German).
std::string CopyFamily(const QString& source, const QString& target);
// Copies source to CopyTarget(source) (a copy made before is opened as it is) and opens the copy as the
// family. False, after a German message, when it could not be made or opened.
bool CopyAndOpen(const QString& source);

// The paragraph for the box about a missing program INI file that offers the example; empty without one.
std::string ExampleOffer();
// The caption of the box's button that copies and opens the example (cp1252).
std::string ExampleButton();

// After the program's own INI file was opened (at the start or by choosing a family): when the user cannot
// write its family, one box says so with the offer of a copy the first time this folder is met, and a note
// stays in the status bar; the log files that could not be made are part of that, not boxes of their own.
// Otherwise each start-up message of the configuration is a box.
void TellAboutFamily();

} // namespace firstrun
