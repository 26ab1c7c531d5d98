#include "app/FirstRun.h"

#include "app/Family.h"
#include "app/main.h"
#include "config/ed_ini.h"
#include "pages/Dialogs.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/qt/QtText.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QSettings>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTemporaryFile>

#include <filesystem>
#include <system_error>

namespace firstrun {
namespace {

namespace fs = std::filesystem;

fs::path FsPath(const QString& path) {
    return fs::path(path.toStdU16String());
}

QString Shown(const QString& hostPath) {
    return QDir::toNativeSeparators(hostPath);
}

// What went wrong with a file operation, in German.
QString Reason(const std::error_code& ec) {
    const std::error_condition generic = ec.default_error_condition();
    if (generic.category() != std::generic_category())
        return QStringLiteral("Systemfehler %1").arg(ec.value());
    return plat::ToQ(plat::SystemErrorText(generic.value()));
}

// The program INI file of the copy, when a copy was made before.
QString ProgramIniOfCopy(const QString& source) {
    return family::ProgramIniIn(CopyTarget(source), family::ProgramIniName(ProgramArgs()));
}

// Folders whose being read-only the user was told about (kept per user, the last few only).
QString NoticesFile() {
    return QFileInfo(family::SettingsFile()).absolutePath() + QStringLiteral("/hinweise.ini");
}
const QString ToldKey = QStringLiteral("schreibgeschuetzt/ordner");
constexpr int ToldKept = 20;

bool Told(const QString& dir) {
    return QSettings(NoticesFile(), QSettings::IniFormat).value(ToldKey).toStringList().contains(dir);
}

void RememberTold(const QString& dir) {
    QSettings settings(NoticesFile(), QSettings::IniFormat);
    QStringList told = settings.value(ToldKey).toStringList();
    told.removeAll(dir);
    told.prepend(dir);
    while (told.size() > ToldKept)
        told.removeLast();
    settings.setValue(ToldKey, told);
}

const QString NoteName = QStringLiteral("ReadOnlyFamilyNote");

// The lasting note in the status bar about a read-only family, with the copy as a link.
void ShowNote(const QString& dir, const QStringList& details) {
    if (!MainForm) return;
    auto* note =
        new QLabel(QStringLiteral("Werkzeugfamilie schreibgesch\u00fctzt: hier wird nichts gesichert "
                                  "\u2013 <a href=\"kopie\">Kopie anlegen und \u00f6ffnen</a>"));
    note->setObjectName(NoteName);
    note->setTextFormat(Qt::RichText);
    note->setToolTip((QStringList{Shown(dir)} + details).join(QLatin1Char('\n')));
    QObject::connect(note, &QLabel::linkActivated, note, [dir] { CopyAndOpen(dir); });
    MainForm->StatusBar1->addPermanentWidget(note);
}

} // namespace

QString ExampleFamily() {
    QStringList candidates{QCoreApplication::applicationDirPath() +
                           QStringLiteral("/../share/ini4zav/examples/vamtools")};
#ifdef INI4ZAV_SOURCE_DIR
    candidates << QStringLiteral(INI4ZAV_SOURCE_DIR "/examples/vamtools");
#endif
    for (const QString& candidate : candidates)
        if (QFileInfo(candidate).isDir()) return QDir::cleanPath(QFileInfo(candidate).absoluteFilePath());
    return {};
}

QString CopyTarget(const QString& source) {
    return QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation) + QStringLiteral("/ini4zav/") +
           QFileInfo(QDir::cleanPath(source)).fileName();
}

bool Writable(const QString& hostDir, const QString& programIni) {
    // Tried, not read from the permission bits: shares, ACLs and read-only mounts answer only to a try.
    QTemporaryFile probe(QDir(hostDir).filePath(QStringLiteral(".ini4zav-probe-XXXXXX")));
    if (!probe.open()) return false;
    return programIni.isEmpty() || QFileInfo(programIni).isWritable();
}

std::string CopyFamily(const QString& source, const QString& target) {
    const auto failed = [](const QString& what, const std::error_code& ec) {
        return plat::FromQ(QStringLiteral("%1: %2.").arg(what, Reason(ec)));
    };
    std::error_code ec;
    const fs::path from = FsPath(source);
    const fs::path to = FsPath(target);
    if (!fs::is_directory(from, ec))
        return plat::FromQ(
            QStringLiteral("Der Ordner \u201e%1\u201c ist nicht vorhanden.").arg(Shown(source)));
    // A copy inside the family itself would copy itself without end.
    if (QDir::cleanPath(QDir(target).absolutePath())
            .startsWith(QDir::cleanPath(QDir(source).absolutePath()) + '/'))
        return plat::FromQ(
            QStringLiteral("Der Ordner \u201e%1\u201c liegt in der Familie selbst.").arg(Shown(target)));
    if (fs::create_directories(to, ec); ec)
        return failed(
            QStringLiteral("Der Ordner \u201e%1\u201c l\u00e4sst sich nicht anlegen").arg(Shown(target)), ec);
    for (fs::recursive_directory_iterator it(from, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path dest = to / it->path().lexically_relative(from);
        const QString shownDest = Shown(QString::fromStdU16String(dest.u16string()));
        if (it->is_directory(ec)) {
            if (fs::create_directories(dest, ec); ec)
                return failed(
                    QStringLiteral("Der Ordner \u201e%1\u201c l\u00e4sst sich nicht anlegen").arg(shownDest),
                    ec);
            continue;
        }
        if (fs::exists(dest, ec)) continue; // the user's own file stays
        if (!fs::copy_file(it->path(), dest, fs::copy_options::skip_existing, ec) && ec)
            return failed(QStringLiteral("\u201e%1\u201c l\u00e4sst sich nicht anlegen").arg(shownDest), ec);
        // A copy of an installed (read-only) file is the user's to change.
        fs::permissions(dest, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::add, ec);
        if (ec)
            return failed(
                QStringLiteral("\u201e%1\u201c l\u00e4sst sich nicht beschreibbar machen").arg(shownDest),
                ec);
    }
    if (ec)
        return failed(
            QStringLiteral("Der Ordner \u201e%1\u201c l\u00e4sst sich nicht ganz lesen").arg(Shown(source)),
            ec);
    return {};
}

bool CopyAndOpen(const QString& source) {
    const QString target = CopyTarget(source);
    if (ProgramIniOfCopy(source).isEmpty()) {
        if (const std::string problem = CopyFamily(source, target); !problem.empty()) {
            dlg::MessageDlg(
                plat::FromQ(
                    QStringLiteral("Die Werkzeugfamilie \u201e%1\u201c lie\u00df sich nicht nach "
                                   "\u201e%2\u201c kopieren.\n%3\n\nPr\u00fcfen Sie, ob Ihr "
                                   "Dokumente-Ordner beschreibbar ist und Platz hat, und versuchen Sie es "
                                   "noch einmal.")
                        .arg(Shown(source), Shown(target), plat::ToQ(problem))),
                dlg::Kind::Error, dlg::mbOK, "Kopie fehlgeschlagen");
            return false;
        }
    }
    return MainForm && MainForm->OpenFamily(target);
}

std::string ExampleOffer() {
    const QString example = ExampleFamily();
    if (example.isEmpty()) return {};
    const QString target = CopyTarget(example);
    if (!ProgramIniOfCopy(example).isEmpty())
        return plat::FromQ(QStringLiteral("Ihre Kopie der Beispiel-Werkzeugfamilie gibt es schon:\n    %1\n"
                                          "\u201eBeispiel \u00f6ffnen\u201c \u00f6ffnet sie, so wie Sie sie "
                                          "verlassen haben.")
                               .arg(Shown(target)));
    return plat::FromQ(
        QStringLiteral("Zum Ausprobieren liegt dem Programm eine Beispiel-Werkzeugfamilie bei "
                       "(%1). \u201eBeispiel kopieren und \u00f6ffnen\u201c legt davon eine "
                       "eigene Kopie in Ihrem Dokumente-Ordner an:\n    %2\nund \u00f6ffnet sie; "
                       "dort k\u00f6nnen Sie alles \u00e4ndern und sichern.")
            .arg(Shown(example), Shown(target)));
}

std::string ExampleButton() {
    const QString example = ExampleFamily();
    return !example.isEmpty() && !ProgramIniOfCopy(example).isEmpty() ? "Beispiel \xF6"
                                                                        "ffnen"
                                                                      : "Beispiel kopieren und \xF6"
                                                                        "ffnen";
}

void TellAboutFamily() {
    if (MainForm)
        for (QLabel* old : MainForm->StatusBar1->findChildren<QLabel*>(NoteName))
            old->deleteLater();
    const std::string programIni = ProgramIniFileName();
    const QString ini = programIni.empty() ? QString() : plat::HostToQ(plat::ToHostPath(programIni));
    const QString dir = ini.isEmpty() ? QString() : QFileInfo(ini).absolutePath();
    if (dir.isEmpty() || Writable(dir, ini)) {
        for (const std::string& message : StartupMessages())
            dlg::MessageDlg(message, dlg::Kind::Warning, dlg::mbOK);
        return;
    }
    QStringList details;
    for (const std::string& message : StartupMessages())
        details << plat::ToQ(message);
    ShowNote(dir, details);
    if (Told(dir)) return;
    RememberTold(dir);
    const QString target = CopyTarget(dir);
    const bool copied = !ProgramIniOfCopy(dir).isEmpty();
    QString text =
        QStringLiteral("Die Werkzeugfamilie \u201e%1\u201c ist schreibgesch\u00fctzt: Sie d\u00fcrfen in "
                       "diesem Ordner nichts anlegen oder \u00e4ndern. Ge\u00e4nderte Einstellungen "
                       "lassen sich hier nicht sichern%2.\n\n")
            .arg(Shown(dir), details.isEmpty() ? QString()
                                               : QStringLiteral(", und die Protokolldateien lassen "
                                                                "sich nicht anlegen"));
    text += copied
                ? QStringLiteral("Ihre Kopie dieser Familie gibt es schon:\n    %1\nDas Programm kann sie "
                                 "\u00f6ffnen, so wie Sie sie verlassen haben.")
                      .arg(Shown(target))
                : QStringLiteral("Das Programm kann die Familie in Ihren Dokumente-Ordner kopieren:\n    %1\n"
                                 "und die Kopie \u00f6ffnen; dort k\u00f6nnen Sie alles \u00e4ndern und "
                                 "sichern, und das Programm nimmt sie beim n\u00e4chsten Start.")
                      .arg(Shown(target));
    const int answer = dlg::AskDlg(plat::FromQ(text), dlg::Kind::Warning,
                                   {{dlg::mrRetry, copied ? "Kopie \xF6"
                                                            "ffnen"
                                                          : "Kopieren und \xF6"
                                                            "ffnen"},
                                    {dlg::mrOK, "Schreibgesch\xFCtzt weiter"}},
                                   dlg::mrOK, "Werkzeugfamilie schreibgesch\xFCtzt");
    if (answer == dlg::mrRetry) CopyAndOpen(dir);
}

} // namespace firstrun
