#pragma once
// The text window: a memo and "   Save    ", which writes the memo to the file named by the caption.

#include <QWidget>

#include <string>

class QPlainTextEdit;
class QToolBar;
class QToolButton;

#include "platform/FileGuard.h"

namespace textfile {
// The memo's text as it is saved: each line followed by CR LF (nothing for an empty text).
std::string LinesBytes(const QString& text);
// Writes lines, each followed by CR LF, to the file at a tool-family path, replacing it atomically, by the
// write-back rule of plat::WriteBack (stamp: the file as it was loaded; edited: whether the text changed
// since). False when the file was taken from disk instead (diskBytes holds it); a failure raises
// plat::FileError (German), a refusal plat::WriteCancelled; the old file stays as it was.
bool SaveLines(const std::string& toolPath, const QString& text, plat::FileStamp& stamp, bool edited,
               std::string& diskBytes);
} // namespace textfile

class TForm9 : public QWidget {
    Q_OBJECT
public:
    explicit TForm9(QWidget* parent = nullptr);

    QToolBar* ToolBar1;
    QToolButton* ToolButton1; // "   Save    "
    QPlainTextEdit* Memo1;

    // Shows the file's lines and names the window after it; what "Save" later measures changes against.
    void ShowFile(const std::string& toolPath);

public slots:
    void ToolButton1Click();

private:
    std::string FLoadedPath;
    plat::FileStamp FLoadedStamp;
    QString FLoadedText;
};

extern TForm9* Form9;
