// The console's capture of the line into a file, and the memo saved as a file; the capture light and
// button. The capture and save buttons call it, and every memo line passes through CaptureLine.

#include "link/port.h"

#include "platform/qt/QtText.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTextBlock>

// ---- Capture and saved memo ---------------------------------------------------------------------

namespace {

// The program's 8-bit names and texts as the file system and the capture file take them.
std::string LocalFileName(const std::string& name) {
    return QFile::encodeName(plat::ToQ(name)).toStdString();
}
std::string Utf8(const std::string& text) {
    return plat::ToQ(text).toUtf8().toStdString();
}
// A file name as the user reads it: with this system's separators ("\" on Windows).
std::string Shown(const std::string& name) {
    return plat::FromQ(QDir::toNativeSeparators(plat::ToQ(name)));
}
// The name the user gave: Windows' save dialog appends the selected filter's first suffix (".txt") to a name
// with a suffix of its own ("Prüfung Süd.log" came back as "... .log.txt"). Such an appended suffix is
// dropped again, unless a file of that very name is there already (then it was the user's choice).
std::string OwnSuffix(const std::string& name) {
    const QString chosen = plat::ToQ(name);
    const QFileInfo info(chosen);
    if (info.suffix().compare(QStringLiteral("txt"), Qt::CaseInsensitive) != 0 || info.exists()) return name;
    const QString without = chosen.left(chosen.size() - 4);
    return QFileInfo(without).suffix().isEmpty() ? name : plat::FromQ(without);
}

} // namespace

void TMyComPort::CaptureLine(char direction, const std::string& text) {
    if (!capture_.Active()) return;
    if (capture_.Write(direction, Utf8(text))) return;
    // The capture has stopped; the connection goes on.
    const std::string why =
        "Mitschnitt gestoppt: " + Shown(captureName_) + ": " + FileErrorText(capture_.LastError());
    ShowCaptureState();
    ShowFailure(why);
}

bool TMyComPort::StartCapture(const std::string& path) {
    StopCapture();
    const bool started = capture_.Start(LocalFileName(path));
    captureName_ = started ? path : std::string();
    ShowCaptureState();
    if (!started) {
        const std::string why =
            "Mitschnitt nicht m\xF6glich: " + Shown(path) + ": " + FileErrorText(capture_.LastError());
        ShowFailure(why);
        return false;
    }
    lastCaptureName_ = path;
    LogMessage("Mitschnitt in " + Shown(path));
    return true;
}

void TMyComPort::StopCapture() {
    if (!capture_.Active()) return;
    LogMessage("Mitschnitt beendet");
    capture_.Stop();
    captureName_.clear();
    ShowCaptureState();
}

void TMyComPort::ShowCaptureState() {
    const bool on = capture_.Active();
    if (!on) captureName_.clear();
    CaptureLed->SetColor(on ? clLitLight : clUnlitLight);
    CaptureButton->setText(on ? QStringLiteral("Mitschnitt aus") : QStringLiteral("Mitschnitt\u2026"));
    const QString name = plat::ToQ(Shown(captureName_));
    CaptureLabel->setText(on ? QFileInfo(name).fileName() : QString());
    CaptureLabel->setToolTip(name);
    CaptureLed->setToolTip(on ? QStringLiteral("Mitschnitt l\u00E4uft: ") + name
                              : QStringLiteral("kein Mitschnitt"));
}

bool TMyComPort::SaveMemo(const std::string& path) {
    std::vector<std::string> lines;
    for (const auto& l : MemoLines())
        lines.push_back(Utf8(l));
    const int err = WriteTextFile(LocalFileName(path), lines);
    if (err == 0) return true;
    const std::string why = "Memo nicht gespeichert: " + Shown(path) + ": " + FileErrorText(err);
    ShowFailure(why);
    return false;
}

void TMyComPort::SaveMemoButtonClick() {
    std::string name = "memo.txt";
    if (AskFileName("Memo speichern", name, false)) SaveMemo(OwnSuffix(name));
}

void TMyComPort::CaptureButtonClick() {
    if (capture_.Active()) {
        StopCapture();
        return;
    }
    std::string name = lastCaptureName_;
    if (AskFileName("Mitschnitt in Datei (wird angeh\xE4ngt)", name, true)) StartCapture(OwnSuffix(name));
}

std::vector<std::string> TMyComPort::MemoLines() const {
    std::vector<std::string> lines;
    for (QTextBlock b = Memo->document()->begin(); b.isValid(); b = b.next())
        lines.push_back(plat::FromQ(b.text()));
    if (lines.size() == 1 && lines[0].empty()) lines.clear();
    return lines;
}
