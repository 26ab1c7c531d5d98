#pragma once
// Modal dialogs of the program (message box, input box). Every modal question goes through here so that
// tests can answer it in advance and GUI tests never block.

#include <string>
#include <vector>

class QString;
class QWidget;

namespace dlg {

enum class Kind { Information, Warning, Error, Confirmation, Custom };

// Buttons (may be or-ed) and the results a dialog returns.
enum Button { mbNone = 0, mbOK = 1, mbCancel = 2, mbYes = 4, mbNo = 8, mbAbort = 16, mbRetry = 32, mbIgnore = 64 };
enum Result { mrNone = 0, mrOK = 1, mrCancel = 2, mrYes = 6, mrNo = 7, mrAbort = 3, mrRetry = 4, mrIgnore = 5 };

// A message box; returns the result of the button pressed (mrNone when closed without a button).
int MessageDlg(const std::string& text, Kind kind, int buttons, const std::string& caption = {});
// A question with buttons of its own German captions, each with the result it returns (pressed in the
// order given; Escape gives escapeResult). Answered in advance like MessageDlg; without a screen and
// without a queued answer it returns escapeResult.
int AskDlg(const std::string& text, Kind kind, const std::vector<std::pair<int, std::string>>& buttons,
           int escapeResult, const std::string& caption = {});
// An information box with one "OK".
void ShowMessage(const std::string& text);
// An input box: true and value set when confirmed.
bool InputQuery(const std::string& caption, const std::string& prompt, std::string& value);
// What a file dialog asks for: a file to read, one to write (an existing one is replaced, after asking), or
// one to append to (an existing one is kept, so nothing is asked).
enum class FileMode { Open, Save, Append };
// A file dialog starting at fileName; filter as Qt takes it ("Textdateien (*.txt *.log)"). True and
// fileName set when a file was chosen. Answered in advance like InputQuery (the answer's text is the file
// name); without a screen and without an answer: cancelled.
bool FileNameDialog(const std::string& caption, const std::string& filter, std::string& fileName,
                    FileMode mode);

// A folder dialog starting at startDir (host paths): the folder chosen, empty when cancelled. Answered in
// advance with SetNextAnswer(mrOK, UTF-8 host path) or mrCancel.
QString ChooseFolder(const QString& caption, const QString& startDir);

// The host paths behind the tool paths in a text ("X:\…", or "\…" at a word start), one line each as
// "tool path = host path"; empty when the text names none. Shown as the tooltip of a message box.
QString HostPathsIn(const QString& text);

// --- for tests ---------------------------------------------------------------------------------------
struct Shown {
    Kind kind;
    std::string caption, text;
    int buttons;
    std::vector<std::string> labels = {}; // the captions of an AskDlg
};
// The next dialog returns result (and, for an input box, text) without being shown.
void SetNextAnswer(int result, const std::string& text = {});
// Every dialog asked for, answered in advance or not.
const std::vector<Shown>& History();
void ClearHistory();
// When no answer is queued and the program runs without a screen (offscreen platform), a dialog is not
// shown: it returns its first button's result (an input box or a file dialog: cancelled).

} // namespace dlg
