#pragma once
// What a Linux desktop expects of the program around its windows: the command line's --help and --version,
// the program's identity (names, icon, Qt's own translations), a start-up that explains a missing INI file,
// and the host path behind every tool path the program shows.

#include <QObject>
#include <QString>
#include <QStringList>

#include <optional>
#include <string>
#include <vector>

class QApplication;
class QIcon;
class QWidget;

namespace desktop {

// The machine name: executable, window class, settings and cache folders.
inline constexpr char AppName[] = "ini4zav";

// --help / -h or --version / -v anywhere among the arguments (after the program path): the text to print
// (UTF-8) before the program ends with 0, without a window and without a display. Nothing otherwise.
// The usage names the manual's place, so a QCoreApplication must exist.
std::optional<std::string> CommandLineInfo(const std::vector<std::string>& args);
bool AsksForInfo(const std::vector<std::string>& args);
std::string UsageText();
std::string VersionText();

// Names the application (machine name, the title the user reads), sets its window icon, and loads Qt's own
// texts (context menus, standard buttons) in the language QtLanguage gives for requested: German unless
// the user asked for another. Returns the language loaded ("" when Qt has no translation for it on this
// machine, so its English source texts show). A second call replaces the first call's translation.
QString SetUpApplication(QApplication& app, const QString& requested = QString());
// The language the user asked for Qt's own texts: the environment variable INI4ZAV_QT_LANGUAGE, else
// [desktop] qtlanguage of the program's own INI file while it is the open configuration; empty if neither.
QString RequestedQtLanguage();
// The language whose Qt translation is loaded for a request: "de" for none; the user's locale
// (LANGUAGE, LC_ALL, LC_MESSAGES, LANG) for "locale"; else the request itself ("en", "fr_FR").
QString QtLanguage(const QString& requested);
// The locale name whose Qt translation is loaded: the user's language, "de" for C/POSIX or none.
QString TranslationLanguage(const QString& localeName);
// The application icon (the drawn PNG sizes) and the theme's icon of the same name before it.
QIcon ApplicationIcon();

// The arguments that nothing takes, in their order: not --help/-h/--version/-v, naming no switch of the
// program (/i= and /m= anywhere in an argument, /use=develop as the first one) and not taken by Qt as one
// of its own options (those are missing from leftByQt, QCoreApplication::arguments()). They are ignored.
std::vector<std::string> IgnoredArguments(const std::vector<std::string>& args, const QStringList& leftByQt);
// The note about them for the status bar and the log; empty when there are none.
std::string IgnoredArgumentsText(const std::vector<std::string>& ignored);

// When the program's own INI file was not found at start: a German explanation naming the file looked
// for, its directory and how to give one ("/i="); empty when the file was found.
std::string MissingProgramIniText(const std::vector<std::string>& args);

// Gives a label (or any widget with a text property) a tooltip with the host path of the tool path it
// shows at the moment the tooltip is asked for; the text may change at any time.
void ShowHostPathAsTooltip(QWidget* widget);
// The tooltip for a shown tool path: "Auf diesem Rechner: " and its host path.
QString HostPathTooltip(const QString& shownPath);

} // namespace desktop
