#pragma once
// The user's side of writing files: the question when a file changed on disk and here, the question
// before a file that is no INI file is overwritten, the messages about files (status bar, and a box once
// per file), and the write-back of the open tool INI file that keeps the edits when it fails.

#include <QString>

#include <functional>
#include <string>

#include "pages/Dialogs.h"

namespace filedlg {

// Results of the conflict question, for answering it in advance (dlg::SetNextAnswer).
constexpr int AnswerOverwrite = dlg::mrYes;
constexpr int AnswerTakeFromDisk = dlg::mrNo;
constexpr int AnswerCancel = dlg::mrCancel;
// Results of the question after a failed write-back of the tool INI file.
constexpr int AnswerRetry = dlg::mrRetry;
constexpr int AnswerSaveElsewhere = dlg::mrOK;
constexpr int AnswerDiscard = dlg::mrIgnore;

// Installs the questions and the message sink; status receives each message for the status bar.
void Install(std::function<void(const QString&)> status);
// Removes them again (the questions then answer "cancel", messages wait).
void Uninstall();
// Files that already had their box in this run are not boxed again; tests start afresh with this.
void ForgetShownFiles();

// Writes the open tool INI file back and releases it. When that fails or is refused the user is told why
// and asked: try again, save the file elsewhere, give up the edits, or (when mayStay) stay with the file
// open and the edits kept. True when the store is released (written, saved elsewhere or given up).
bool WriteBackToolIni(bool mayStay);

} // namespace filedlg
