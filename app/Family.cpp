#include "app/Family.h"

#include "app/Desktop.h"
#include "platform/Paths.h"
#include "platform/qt/QtText.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

namespace family {
namespace {

// The INI files the tool buttons select, below the family's root.
constexpr const char* ToolInis[] = {"ed4vam/ed4vam.ini", "ed4vam/ed4qir.ini", "mon4vam/mon4vam.ini",
                                    "Reader/reader.ini", "Reader/decode.ini"};

// The remembered choice holds one folder name: a larger file, or a longer name, is no choice of ours (and
// would cost the start its time and memory).
constexpr qint64 MaxSettingsSize = 64 * 1024;
constexpr qsizetype MaxPathLength = 4096;

QStringList EntriesOf(const QString& dir) {
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
}

// rel below dir, each component found without regard to letter case; empty when it is not there. top,
// when given, is the listing of hostDir (a large folder is listed once for several look-ups).
QString FindCaseless(const QString& hostDir, const QString& rel, const QStringList* top = nullptr) {
    QString path = hostDir;
    bool first = true;
    for (const QString& part : rel.split(QLatin1Char('/'))) {
        const QDir dir(path);
        QString found;
        for (const QString& entry : first&& top ? *top : EntriesOf(path))
            if (entry.compare(part, Qt::CaseInsensitive) == 0 && (found.isEmpty() || entry == part))
                found = entry;
        first = false;
        if (found.isEmpty()) return {};
        path = dir.filePath(found);
    }
    return path;
}

bool IsFile(const QString& path) {
    return !path.isEmpty() && QFileInfo(path).isFile();
}

} // namespace

QString SettingsFile() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QLatin1Char('/') +
           QLatin1String(desktop::AppName) + QStringLiteral("/werkzeugfamilie.ini");
}

QString Remembered() {
    const QFileInfo file(SettingsFile());
    if (!file.isFile() || file.size() > MaxSettingsSize) return {};
    const QSettings settings(SettingsFile(), QSettings::IniFormat);
    const QString dir = settings.value(QStringLiteral("familie/ordner")).toString();
    return dir.size() > MaxPathLength ? QString() : dir;
}

void Remember(const QString& hostDir) {
    const QFileInfo file(SettingsFile());
    if (file.exists() && (!file.isFile() || file.size() > MaxSettingsSize))
        QFile::remove(SettingsFile()); // no choice of ours: the new one takes its place
    QSettings settings(SettingsFile(), QSettings::IniFormat);
    settings.setValue(QStringLiteral("familie/ordner"), QDir(hostDir).absolutePath());
}

std::string ProgramIniName(const std::vector<std::string>& args) {
    const std::string program = args.empty() ? std::string(desktop::AppName) : plat::ExtractFileName(args[0]);
    return plat::ChangeFileExt(program.empty() ? std::string(desktop::AppName) : program, ".ini");
}

QString ProgramIniIn(const QString& hostDir, const std::string& iniName) {
    const QString path = FindCaseless(hostDir, plat::ToQ(iniName));
    return IsFile(path) ? path : QString();
}

std::string Problem(const QString& hostDir, const std::string& iniName) {
    const QString ini = plat::ToQ(iniName);
    const QStringList top = EntriesOf(hostDir);
    const bool hasIni = IsFile(FindCaseless(hostDir, ini, &top));
    bool hasTool = false;
    for (const char* rel : ToolInis)
        hasTool = hasTool || IsFile(FindCaseless(hostDir, QLatin1String(rel), &top));
    if (hasIni && hasTool) return {};
    QString text = QStringLiteral("Der Ordner \u201e%1\u201c ist keine Werkzeugfamilie:\n").arg(hostDir);
    if (!hasIni && !hasTool)
        text += QStringLiteral("Er enth\u00e4lt weder die eigene INI-Datei %1 noch einen Werkzeug-Ordner "
                               "(ed4vam, mon4vam, Reader) mit seiner INI-Datei.")
                    .arg(ini);
    else if (!hasIni)
        text += QStringLiteral(
                    "Die Werkzeug-Ordner sind da, aber nicht die eigene INI-Datei %1. Sie sagt, wo die "
                    "Werkzeuge ihre Dateien finden ([files] base= und [drives]); ohne sie geht es "
                    "nicht. Legen Sie %1 in diesen Ordner (ein Beispiel liegt bei den Beispieldateien "
                    "des Programms).")
                    .arg(ini);
    else
        text += QStringLiteral(
                    "Die eigene INI-Datei %1 ist da, aber keine der Werkzeug-INI-Dateien "
                    "ed4vam\\ed4vam.ini, ed4vam\\ed4qir.ini, mon4vam\\mon4vam.ini, Reader\\reader.ini, "
                    "Reader\\decode.ini.")
                    .arg(ini);
    text +=
        QStringLiteral("\n\nW\u00e4hlen Sie den Ordner, in dem %1 und die Werkzeug-Ordner liegen.").arg(ini);
    return plat::FromQ(text);
}

std::string StartIni(const std::vector<std::string>& args) {
    const QString dir = Remembered();
    if (dir.isEmpty()) return {};
    const QString ini = ProgramIniIn(dir, ProgramIniName(args));
    return ini.isEmpty() ? std::string() : plat::FromHostPath(ini.toStdString());
}

std::string LostNote(const std::vector<std::string>& args) {
    const QString dir = Remembered();
    if (dir.isEmpty() || !StartIni(args).empty()) return {};
    const QString shown = QDir::toNativeSeparators(dir);
    const QString text =
        QFileInfo(dir).isDir()
            ? QStringLiteral(
                  "Die zuletzt gew\u00e4hlte Werkzeugfamilie \u201e%1\u201c enth\u00e4lt die eigene "
                  "INI-Datei %2 nicht mehr.")
                  .arg(shown, plat::ToQ(ProgramIniName(args)))
            : QStringLiteral(
                  "Die zuletzt gew\u00e4hlte Werkzeugfamilie \u201e%1\u201c ist nicht mehr "
                  "vorhanden (Ordner gel\u00f6scht oder umbenannt, Datentr\u00e4ger nicht "
                  "eingesteckt?). Stecken Sie den Datentr\u00e4ger ein und starten Sie das Programm neu, "
                  "oder w\u00e4hlen Sie eine andere Werkzeugfamilie.")
                  .arg(shown);
    return plat::FromQ(text);
}

} // namespace family
