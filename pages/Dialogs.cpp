#include "pages/Dialogs.h"

#include "platform/Paths.h"
#include "platform/qt/QtText.h"

#include <QApplication>
#include <QFileDialog>
#include <QGuiApplication>
#include <QFont>
#include <QFontMetrics>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>

#include <deque>

namespace dlg {
namespace {

struct Answer {
    int result;
    std::string text;
};
std::deque<Answer>& Answers() {
    static std::deque<Answer> a;
    return a;
}
std::vector<Shown>& HistoryList() {
    static std::vector<Shown> h;
    return h;
}

bool Headless() { return QGuiApplication::platformName() == QLatin1String("offscreen"); }

int FirstResult(int buttons) {
    static const std::pair<int, int> order[] = {{mbYes, mrYes},     {mbOK, mrOK},         {mbNo, mrNo},
                                                {mbCancel, mrCancel}, {mbAbort, mrAbort}, {mbRetry, mrRetry},
                                                {mbIgnore, mrIgnore}};
    for (auto [b, r] : order)
        if (buttons & b) return r;
    return mrNone;
}

bool TakeAnswer(Answer& a) {
    if (Answers().empty()) return false;
    a = Answers().front();
    Answers().pop_front();
    return true;
}

QMessageBox::Icon IconOf(Kind kind) {
    switch (kind) {
    case Kind::Information: return QMessageBox::Information;
    case Kind::Warning: return QMessageBox::Warning;
    case Kind::Error: return QMessageBox::Critical;
    case Kind::Confirmation: return QMessageBox::Question;
    case Kind::Custom: break;
    }
    return QMessageBox::NoIcon;
}

QString DefaultCaption(Kind kind) {
    switch (kind) {
    case Kind::Information: return QStringLiteral("Information");
    case Kind::Warning: return QStringLiteral("Warnung");
    case Kind::Error: return QStringLiteral("Fehler");
    case Kind::Confirmation: return QStringLiteral("Bestätigung");
    case Kind::Custom: break;
    }
    return QApplication::applicationDisplayName();
}

} // namespace

QString HostPathsIn(const QString& text) {
    // A drive path, or a rooted path at the start of a word; inside double quotes it may hold blanks.
    static const QRegularExpression toolPath(
        QStringLiteral(R"re("((?:[A-Za-z]:)?\\[^"\r\n]*)"|(?:^|(?<=\s))((?:[A-Za-z]:)?\\[^\s"]*))re"));
    QStringList lines;
    for (auto it = toolPath.globalMatch(text); it.hasNext();) {
        const QRegularExpressionMatch m = it.next();
        QString path = m.captured(1);
        if (path.isEmpty()) { // unquoted: punctuation after the path ends the sentence, not the name
            path = m.captured(2);
            while (path.size() > 1 && QStringLiteral(",.;:!?)").contains(path.back())) path.chop(1);
        }
        const QString host = plat::HostToQ(plat::ToHostPath(plat::FromQ(path)));
        const QString line = path + QStringLiteral(" = ") + host;
        if (!lines.contains(line)) lines << line;
    }
    return lines.join(QLatin1Char('\n'));
}

int MessageDlg(const std::string& text, Kind kind, int buttons, const std::string& caption) {
    HistoryList().push_back({kind, caption, text, buttons});
    Answer a;
    if (TakeAnswer(a)) return a.result;
    if (Headless()) return FirstResult(buttons);

    QMessageBox box(IconOf(kind), caption.empty() ? DefaultCaption(kind) : plat::ToQ(caption), plat::ToQ(text),
                    QMessageBox::NoButton, QApplication::activeWindow());
    static const std::tuple<int, int, const char*> kButtons[] = {
        {mbYes, mrYes, "&Ja"},         {mbNo, mrNo, "&Nein"},         {mbOK, mrOK, "OK"},
        {mbCancel, mrCancel, "Abbrechen"}, {mbAbort, mrAbort, "&Abbrechen"}, {mbRetry, mrRetry, "&Wiederholen"},
        {mbIgnore, mrIgnore, "&Ignorieren"}};
    box.setToolTip(HostPathsIn(box.text())); // where the named files are on this machine
    std::vector<std::pair<QAbstractButton*, int>> made;
    for (auto [b, r, label] : kButtons)
        if (buttons & b) made.emplace_back(box.addButton(QString::fromUtf8(label), QMessageBox::AcceptRole), r);
    // Escape answers as the button that changes nothing: Abbrechen, else Nein, else a single OK.
    for (auto [escape, result] : {std::pair{mbCancel, mrCancel}, {mbAbort, mrAbort}, {mbNo, mrNo}, {mbOK, mrOK}}) {
        if (!(buttons & escape)) continue;
        for (auto& [button, r] : made)
            if (r == result) box.setEscapeButton(button);
        break;
    }
    if (made.empty()) {
        // A box without command buttons still closes with Escape and the close box.
        QAbstractButton* hidden = box.addButton(QMessageBox::Close);
        hidden->hide();
        box.setEscapeButton(hidden);
    }
    box.exec();
    for (auto& [button, r] : made)
        if (box.clickedButton() == button) return r;
    return mrNone;
}

int AskDlg(const std::string& text, Kind kind, const std::vector<std::pair<int, std::string>>& buttons,
           int escapeResult, const std::string& caption) {
    Shown shown{kind, caption, text, mbNone};
    for (const auto& b : buttons) shown.labels.push_back(b.second);
    HistoryList().push_back(shown);
    Answer a;
    if (TakeAnswer(a)) return a.result;
    if (Headless()) return escapeResult;

    QMessageBox box(IconOf(kind), caption.empty() ? DefaultCaption(kind) : plat::ToQ(caption), plat::ToQ(text),
                    QMessageBox::NoButton, QApplication::activeWindow());
    std::vector<std::pair<QAbstractButton*, int>> made;
    for (const auto& [result, label] : buttons) {
        QPushButton* b = box.addButton(plat::ToQ(label), QMessageBox::AcceptRole);
        made.emplace_back(b, result);
        if (result == escapeResult) {
            box.setEscapeButton(b);
            box.setDefaultButton(b);
        }
    }
    box.exec();
    for (auto& [button, r] : made)
        if (box.clickedButton() == button) return r;
    return escapeResult;
}

void ShowMessage(const std::string& text) { MessageDlg(text, Kind::Custom, mbOK); }

bool InputQuery(const std::string& caption, const std::string& prompt, std::string& value) {
    HistoryList().push_back({Kind::Custom, caption, prompt, mbOK | mbCancel});
    Answer a;
    if (TakeAnswer(a)) {
        if (a.result == mrOK) value = a.text;
        return a.result == mrOK;
    }
    if (Headless()) return false;
    QInputDialog box(QApplication::activeWindow());
    box.setWindowTitle(plat::ToQ(caption));
    box.setLabelText(plat::ToQ(prompt));
    box.setTextValue(plat::ToQ(value));
    box.setOkButtonText(QStringLiteral("OK"));
    box.setCancelButtonText(QStringLiteral("Abbrechen"));
    // Wide enough for the title the window manager shows (with the program's name after it) and for the
    // title bar's own buttons; a bold title font is allowed for.
    QString shown = box.windowTitle();
    if (!QGuiApplication::applicationDisplayName().isEmpty())
        shown += QStringLiteral(" \u2014 ") + QGuiApplication::applicationDisplayName();
    QFont titleFont = box.font();
    titleFont.setBold(true);
    // The box sizes itself to its layout, so the width goes to its edit field.
    if (auto* edit = box.findChild<QLineEdit*>())
        edit->setMinimumWidth(QFontMetrics(titleFont).horizontalAdvance(shown) + 140);
    const bool ok = box.exec() == QDialog::Accepted;
    if (ok) value = plat::FromQ(box.textValue());
    return ok;
}

// --- folder dialog
QString ChooseFolder(const QString& caption, const QString& startDir) {
    HistoryList().push_back({Kind::Custom, plat::FromQ(caption), startDir.toStdString(), mbOK | mbCancel});
    Answer a;
    if (TakeAnswer(a)) return a.result == mrOK ? QString::fromStdString(a.text) : QString();
    if (Headless()) return {};
    return QFileDialog::getExistingDirectory(QApplication::activeWindow(), caption, startDir);
}

// --- file dialog
bool FileNameDialog(const std::string& caption, const std::string& filter, std::string& fileName,
                    FileMode mode) {
    HistoryList().push_back({Kind::Custom, caption, fileName, mbOK | mbCancel});
    Answer a;
    if (TakeAnswer(a)) {
        if (a.result == mrOK) fileName = a.text;
        return a.result == mrOK;
    }
    if (Headless()) return false;
    QWidget* parent = QApplication::activeWindow();
    const QString title = plat::ToQ(caption), start = plat::ToQ(fileName), filters = plat::ToQ(filter);
    const QString chosen =
        mode == FileMode::Open
            ? QFileDialog::getOpenFileName(parent, title, start, filters)
            : QFileDialog::getSaveFileName(parent, title, start, filters, nullptr,
                                           mode == FileMode::Append ? QFileDialog::DontConfirmOverwrite
                                                                    : QFileDialog::Options());
    if (chosen.isEmpty()) return false;
    fileName = plat::FromQ(chosen);
    return true;
}

void SetNextAnswer(int result, const std::string& text) { Answers().push_back({result, text}); }
const std::vector<Shown>& History() { return HistoryList(); }
void ClearHistory() {
    HistoryList().clear();
    Answers().clear();
}

} // namespace dlg
