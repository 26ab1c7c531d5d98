#include "app/Desktop.h"

#include "app/Family.h"
#include "app/Help.h"
#include "config/IniStore.h"
#include "config/ed_ini.h"
#include "platform/Paths.h"
#include "platform/qt/QtText.h"

#include <QApplication>
#include <QDir>
#include <QEvent>
#include <QHelpEvent>
#include <QIcon>
#include <QLibraryInfo>
#include <QLocale>
#include <QToolTip>
#include <QTranslator>
#include <QVariant>
#include <QWidget>

#ifndef INI4ZAV_VERSION
#define INI4ZAV_VERSION "0"
#endif

// The icon's resource lives in a static library: the program must pull it in by name.
static void InitIconResource() { Q_INIT_RESOURCE(ini4zav); }

namespace desktop {

std::string VersionText() {
    return std::string(AppName) + " " INI4ZAV_VERSION "\n"
           "Editor f\u00fcr ZAV-IniFiles \u2013 Einstellungs-Editor f\u00fcr ed4vam, ed4qir, mon4vam, "
           "Reader und Decoder\n";
}

std::string UsageText() {
    return "Aufruf: ini4zav [/i=DATEI] [/m=MASCHINE] [/use=develop]\n"
           "       ini4zav --help | -h\n"
           "       ini4zav --version | -v\n"
           "\n"
           "Bearbeitet die INI-Dateien der ZAV-Werkzeuge (ed4vam, ed4qir, mon4vam, Reader, Decoder)\n"
           "und pr\u00fcft mit der Port-Konsole Modem und Aufzugssteuerung an der seriellen Schnittstelle.\n"
           "\n"
           "Schalter:\n"
           "  /i=DATEI       die eigene INI-Datei des Programms; ohne /i= wird ini4zav.ini im\n"
           "                 aktuellen Verzeichnis gesucht (Gro\u00df-/Kleinschreibung egal)\n"
           "  /m=MASCHINE    Maschinentyp (steht in Gro\u00dfbuchstaben im Protokoll)\n"
           "  /use=develop   als erster Schalter: Entwickler-Markierungen im INI-Inspektor\n"
           "  -h, --help     diese Hilfe\n"
           "  -v, --version  Versionsangabe\n"
           "  Qt-eigene Schalter wie -style NAME, -platform NAME, -reverse gelten wie in jedem\n"
           "  Qt-Programm. Alle anderen Argumente werden ignoriert; die Statuszeile nennt sie.\n"
           "\n"
           "Die eigene INI-Datei:\n"
           "  [files]\n"
           "  base=V:                Wurzel der Werkzeugfamilie (darunter ed4vam, mon4vam, Reader)\n"
           "  [drives]\n"
           "  V=.                    Laufwerk V: ist dieses Verzeichnis (relativ zur INI-Datei);\n"
           "                         ein Laufwerk ohne Eintrag ist die Wurzel /\n"
           "  [devices]\n"
           "  COM1=/dev/ttyUSB0      COMn ist diese Ger\u00e4tedatei (Vorgabe: /dev/ttyS<n-1>)\n"
           "  COM1=sim               simulierte Leitung im Programm\n"
           "  COM2=simmodem          simuliertes Hayes-Modem mit der simulierten Steuerung dahinter\n"
           "  COM2=simctl            simulierte Aufzugssteuerung\n"
           "  COM3=rfc2217://Host:Port  COM-Port auf einem Terminalserver (Telnet mit COM-Port-Option,\n"
           "                         RFC 2217)\n"
           "  COM4=tcp://Host:Port   COM-Port \u00fcber eine rohe TCP-Verbindung, ohne Leitungssteuerung\n"
           "  [desktop]\n"
           "  qtlanguage=en          Sprache der Qt-eigenen Texte (Vorgabe: Deutsch; locale: die des Systems)\n"
           "\n"
           "Umgebung:\n"
           "  INI4ZAV_QT_LANGUAGE    wie [desktop] qtlanguage, geht ihm vor\n"
           "\n"
           "Handbuch: " +
           help::ManualLocation() +
           "\n"
           "Siehe auch: man ini4zav\n";
}

bool AsksForInfo(const std::vector<std::string>& args) {
    for (std::size_t i = 1; i < args.size(); ++i)
        if (args[i] == "--help" || args[i] == "-h" || args[i] == "--version" || args[i] == "-v") return true;
    return false;
}

std::optional<std::string> CommandLineInfo(const std::vector<std::string>& args) {
    for (std::size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--help" || args[i] == "-h") return UsageText();
        if (args[i] == "--version" || args[i] == "-v") return VersionText();
    }
    return std::nullopt;
}

QString TranslationLanguage(const QString& localeName) {
    const QString name = localeName.section(QLatin1Char('.'), 0, 0); // "de_DE.UTF-8" -> "de_DE"
    if (name.isEmpty() || name == QLatin1String("C") || name == QLatin1String("POSIX")) return QStringLiteral("de");
    return name;
}

QIcon ApplicationIcon() {
    InitIconResource();
    QIcon drawn;
    for (int size : {16, 24, 32, 48, 64, 128, 256})
        drawn.addFile(QStringLiteral(":/ini4zav/icons/%1.png").arg(size), QSize(size, size));
    return QIcon::fromTheme(QString::fromLatin1(AppName), drawn);
}

QString RequestedQtLanguage() {
    if (const QString fromEnv = qEnvironmentVariable("INI4ZAV_QT_LANGUAGE").trimmed(); !fromEnv.isEmpty())
        return fromEnv;
    if (!ConfigOpen() || ProgramIniFileName().empty() || IniFileName() != ProgramIniFileName()) return {};
    return plat::ToQ(ToolIni().ReadString("desktop", "qtlanguage", "")).trimmed();
}

QString QtLanguage(const QString& requested) {
    if (requested.isEmpty()) return QStringLiteral("de"); // the program is German: so are Qt's texts in it
    if (requested.compare(QLatin1String("locale"), Qt::CaseInsensitive) != 0) return requested;
    // The desktop's rule: LANGUAGE/LC_ALL/LC_MESSAGES/LANG, the first one set.
    QString localeName;
    for (const char* variable : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) {
        localeName = qEnvironmentVariable(variable).section(QLatin1Char(':'), 0, 0);
        if (!localeName.isEmpty()) break;
    }
    return TranslationLanguage(localeName);
}

QString SetUpApplication(QApplication& app, const QString& requested) {
    QApplication::setApplicationName(QString::fromLatin1(AppName));
    QApplication::setOrganizationName(QString()); // folders ~/.config/ini4zav and ~/.cache/ini4zav
    QApplication::setApplicationVersion(QStringLiteral(INI4ZAV_VERSION));
    QApplication::setApplicationDisplayName(QStringLiteral("Editor f\u00fcr ZAV-IniFiles"));
    QGuiApplication::setDesktopFileName(QString::fromLatin1(AppName));
    QApplication::setWindowIcon(ApplicationIcon());

    // Qt's own texts next to the program's German ones: German, whatever the locale, unless asked otherwise.
    const QString language = QtLanguage(requested);
    const QString name = QStringLiteral("qtTexts");
    if (auto* previous = app.findChild<QTranslator*>(name, Qt::FindDirectChildrenOnly)) {
        QApplication::removeTranslator(previous);
        delete previous;
    }
    auto* translator = new QTranslator(&app);
    translator->setObjectName(name);
    if (translator->load(QLocale(language), QStringLiteral("qtbase"), QStringLiteral("_"),
                         QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        QApplication::installTranslator(translator);
        return language;
    }
    delete translator;
    return {};
}

std::vector<std::string> IgnoredArguments(const std::vector<std::string>& args, const QStringList& leftByQt) {
    QStringList left = leftByQt.mid(1);
    std::vector<std::string> ignored;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const int index = left.indexOf(QString::fromLocal8Bit(arg.c_str()));
        if (index < 0) continue; // one of Qt's own options (or its value)
        left.removeAt(index);
        const bool info = arg == "--help" || arg == "-h" || arg == "--version" || arg == "-v";
        const bool ours = arg.find("/i=") != std::string::npos || arg.find("/m=") != std::string::npos ||
                          (i == 1 && arg == "/use=develop");
        if (!info && !ours) ignored.push_back(arg);
    }
    return ignored;
}

std::string IgnoredArgumentsText(const std::vector<std::string>& ignored) {
    if (ignored.empty()) return {};
    std::string text = ignored.size() == 1 ? "Unbekannter Schalter ignoriert:" : "Unbekannte Schalter ignoriert:";
    for (const std::string& arg : ignored) text += " " + arg;
    return text + " (ini4zav --help nennt die Schalter)";
}

std::string MissingProgramIniText(const std::vector<std::string>& args) {
    if (!ProgramIniFileName().empty()) return {};
    // The resolver looked for the file named by /i=, else for the program's name with ".INI" in the
    // working directory (its letter case does not matter).
    std::string wanted;
    for (std::size_t i = 1; i < args.size() && wanted.empty(); ++i)
        if (args[i].rfind("/i=", 0) == 0) wanted = args[i].substr(3);
    const bool named = !wanted.empty();
    if (!named) wanted = plat::ChangeFileExt(plat::ExtractFileName(args.empty() ? AppName : args[0]), ".ini");
    const std::string full = plat::ExpandFileName(wanted);
    // Without /i= the family chosen last was tried too: when it is gone, the user learns which one it was.
    const QString lost = named ? QString() : plat::ToQ(family::LostNote(args));
    const QString text =
        QStringLiteral(
            "Die eigene INI-Datei des Programms wurde nicht gefunden:\n"
            "    %1\n"
            "(gesucht im Verzeichnis %2%3)\n\n"
            "Ohne sie kennt das Programm die Werkzeugfamilie nicht: die Werkzeug-Kn\u00f6pfe bleiben "
            "gesperrt.\n\n%5"
            "W\u00e4hlen Sie den Ordner der Werkzeugfamilie mit \u201eWerkzeugfamilie w\u00e4hlen "
            "\u2026\u201c (hier oder im Men\u00fc \u201eDatei\u201c); das Programm merkt ihn sich f\u00fcr "
            "den n\u00e4chsten Start. Oder starten Sie das Programm im Verzeichnis der Datei, oder nennen "
            "Sie die Datei mit dem Schalter /i=, zum Beispiel:\n"
            "    ini4zav /i=%4")
            .arg(plat::HostToQ(plat::ToHostPath(full)),
                 plat::HostToQ(plat::ToHostPath(plat::ExtractFileDir(full))),
                 named ? QStringLiteral(", angegeben mit /i=")
                       : QStringLiteral(", dem aktuellen Verzeichnis"),
                 QDir::toNativeSeparators(QStringLiteral("/pfad/zu/ini4zav.ini")),
                 lost.isEmpty() ? lost : lost + QStringLiteral("\n\n"));
    return plat::FromQ(text);
}

QString HostPathTooltip(const QString& shownPath) {
    return QStringLiteral("Auf diesem Rechner: %1")
        .arg(plat::HostToQ(plat::ToHostPath(plat::FromQ(shownPath.trimmed()))));
}

namespace {

// Shows the host path of the tool path a widget displays, computed when the tooltip is asked for.
class HostPathTip : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::ToolTip) return false;
        auto* widget = qobject_cast<QWidget*>(watched);
        const QString shown = watched->property("text").toString().trimmed();
        if (!widget || shown.isEmpty()) return false;
        QToolTip::showText(static_cast<QHelpEvent*>(event)->globalPos(), HostPathTooltip(shown), widget);
        return true;
    }
};

} // namespace

void ShowHostPathAsTooltip(QWidget* widget) {
    static auto* filter = new HostPathTip(qApp);
    widget->installEventFilter(filter);
    widget->setProperty("hostPathTip", true);
}

} // namespace desktop
