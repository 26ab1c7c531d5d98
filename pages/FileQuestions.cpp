#include "pages/FileQuestions.h"

#include "config/ed_ini.h"
#include "platform/FileGuard.h"
#include "platform/Files.h"
#include "platform/Paths.h"

#include <QCoreApplication>
#include <QThread>

#include <memory>
#include <mutex>
#include <set>

namespace filedlg {
namespace {

struct State {
    std::function<void(const QString&)> status;
    std::set<std::string> boxed; // files that had their box
};
State& S() {
    static State s;
    return s;
}

plat::Conflict AskAboutConflict(const std::string& file) {
    const int answer = dlg::AskDlg(
        "Die Datei \"" + file + "\" wurde au\xDF" "erhalb des Programms ge\xE4" "ndert, und hier gibt es "
        "ungesicherte \xC4" "nderungen an ihr.\n\n"
        "\xDC" "berschreiben: Ihre \xC4" "nderungen sichern; die \xC4" "nderung auf der Platte geht verloren.\n"
        "Von der Platte laden: die Datei neu laden und Ihre \xC4" "nderungen verwerfen.\n"
        "Abbrechen: nichts sichern; Ihre \xC4" "nderungen bleiben im Programm.",
        dlg::Kind::Warning,
        {{AnswerOverwrite, "\xDC" "berschreiben"}, {AnswerTakeFromDisk, "Von der Platte laden"}, {AnswerCancel, "Abbrechen"}},
        AnswerCancel, "Datei ge\xE4" "ndert");
    if (answer == AnswerOverwrite) return plat::Conflict::Overwrite;
    if (answer == AnswerTakeFromDisk) return plat::Conflict::TakeFromDisk;
    return plat::Conflict::Cancel;
}

bool AskToConfirm(const std::string& text) {
    return dlg::AskDlg(text, dlg::Kind::Warning, {{dlg::mrYes, "Ja, \xFC" "berschreiben"}, {dlg::mrNo, "Nein"}},
                       dlg::mrNo) == dlg::mrYes;
}

void ShowNotice(const std::string& file, const std::string& text, bool box) {
    State& s = S();
    if (s.status) s.status(QString::fromLatin1(text.data(), int(text.size())));
    if (box && s.boxed.insert(file).second) dlg::MessageDlg(text, dlg::Kind::Warning, dlg::mbOK);
}

void OnNotice(const std::string& file, const std::string& text, bool box) {
    // Log lines may be lost on another thread; the GUI is told on its own.
    QCoreApplication* app = QCoreApplication::instance();
    if (app && QThread::currentThread() != app->thread()) {
        QMetaObject::invokeMethod(app, [file, text, box] { ShowNotice(file, text, box); }, Qt::QueuedConnection);
        return;
    }
    ShowNotice(file, text, box);
}

// Saves the open store's text under a name the user gives. True when saved.
bool SaveElsewhere() {
    std::string path = IniFileName() + ".neu";
    if (!dlg::InputQuery("Speichern unter", "Die INI-Datei unter diesem Namen speichern:", path) || path.empty())
        return false;
    try {
        if (plat::FileExists(path) && !AskToConfirm("Die Datei \"" + path + "\" gibt es schon. \xDC" "berschreiben?"))
            return false;
        plat::WriteFileAtomic(path, ToolIni().GetText());
        return true;
    } catch (const plat::FileError& e) {
        dlg::MessageDlg(e.what(), dlg::Kind::Error, dlg::mbOK);
        return false;
    }
}

} // namespace

void Install(std::function<void(const QString&)> status) {
    S().status = std::move(status);
    plat::SetConflictQuestion(AskAboutConflict);
    plat::SetConfirmQuestion(AskToConfirm);
    plat::SetFileNoticeSink(OnNotice);
}

void Uninstall() {
    plat::SetFileNoticeSink(nullptr);
    plat::SetConfirmQuestion(nullptr);
    plat::SetConflictQuestion(nullptr);
    S().status = nullptr;
}

void ForgetShownFiles() { S().boxed.clear(); }

bool WriteBackToolIni(bool mayStay) {
    for (;;) {
        std::string why;
        try {
            ReleaseToolIni();
            return true;
        } catch (const plat::WriteCancelled& e) {
            if (e.ByUser && mayStay) return false; // he has just said so
            why = e.what();
        } catch (const plat::FileError& e) {
            why = e.what();
        }
        std::vector<std::pair<int, std::string>> buttons = {{AnswerRetry, "Wiederholen"},
                                                            {AnswerSaveElsewhere, "Speichern unter ..."},
                                                            {AnswerDiscard, "\xC4" "nderungen verwerfen"}};
        if (mayStay) buttons.emplace_back(AnswerCancel, "Abbrechen");
        const int answer = dlg::AskDlg(
            why + "\n\n" +
                (mayStay ? "Die INI-Datei bleibt ge\xF6" "ffnet, der Wechsel findet nicht statt; Ihre \xC4" "nderungen "
                           "bleiben im Programm."
                         : "Ihre \xC4" "nderungen sind noch nicht gesichert."),
            dlg::Kind::Error, buttons, mayStay ? AnswerCancel : AnswerDiscard, "Nicht gesichert");
        if (answer == AnswerRetry) continue;
        if (answer == AnswerSaveElsewhere) {
            if (SaveElsewhere()) {
                DiscardToolIni();
                return true;
            }
            continue;
        }
        if (answer == AnswerDiscard) {
            DiscardToolIni();
            return true;
        }
        return false;
    }
}

} // namespace filedlg
