#pragma once
// The text window: a memo and "   Save    ", which writes the memo to the file named by the caption.

#include <QWidget>

#include <string>

class QPlainTextEdit;
class QToolBar;
class QToolButton;

namespace textfile {
// Writes lines, each followed by CR LF, to the file at a tool-family path, replacing it atomically.
// A failure raises plat::FileError (German); the old file stays as it was.
void SaveLines(const std::string& toolPath, const QString& text);
} // namespace textfile

class TForm9 : public QWidget {
    Q_OBJECT
public:
    explicit TForm9(QWidget* parent = nullptr);

    QToolBar* ToolBar1;
    QToolButton* ToolButton1; // "   Save    "
    QPlainTextEdit* Memo1;

public slots:
    void ToolButton1Click();
};

extern TForm9* Form9;
