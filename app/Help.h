#pragma once
// Help: the tool family's own help file when this machine has one, else the program's HTML manual in its
// help window, opened at the section of the window or page the user is in. F1 asks for the help of the
// widget with the focus (and of an open menu).

#include <QString>

#include <initializer_list>
#include <string>

class QMenu;
class QUrl;
class QWidget;

namespace help {

// Where the manual's index.html is: $INI4ZAV_MANUAL, else installed beside the program
// (<prefix>/share/ini4zav/manual), else in the source tree. UTF-8 with this system's separators; "" when none
// exists.
std::string ManualFile();
// The manual's place for texts: its path, or a note that it is not installed.
std::string ManualLocation();

// The manual section of a window help context: 10 main window, 210 menu "&Datei", 220 menu "Info",
// 450 page base form, 470 port test console. "hauptfenster" for any other.
QString SectionForContext(int context);
// The section for a widget: from the widget up through its parents, the first "helpSection" property or
// "helpContext" property decides; "hauptfenster" when none does.
QString SectionFor(const QWidget* widget);

// A page in the program's cache folder (~/.cache/ini4zav/hilfe.html) that forwards the browser to target,
// section included; target itself when the page cannot be written.
QUrl SectionPage(const QUrl& target);
// Shows the manual at section in the help window. When the manual is not installed, a German message says
// where it was looked for; the result is false.
bool OpenManual(const QString& section);
// Opens page (the manual, its fragment the section) in the desktop's browser. When no program opens it, a
// German message says so and where the file is; the result is false.
bool OpenInBrowser(const QUrl& page);
// The help of a window: helpFile (a tool path) opened by the desktop when it exists and a program opens
// it; otherwise the manual at section.
void ShowHelp(const std::string& helpFile, const QString& section);

// F1 anywhere in the program, in modal dialogs too: the help of the widget with the focus, with helpFile as
// the window's file.
// Inside one of the menus, F1 shows the help of that menu (its "helpContext" property).
void InstallF1(QWidget* window, const std::string& helpFile, std::initializer_list<QMenu*> menus);

} // namespace help
