#pragma once
// The INI inspector: shows the open tool INI file raw (its sections, the key=value lines of one section or
// the whole file text), follows a file name found in a value, expands $(BASE) in the shown lines and runs the
// resolver's self-test ("test-ini"). Whatever it opens becomes the open tool INI file.

#include <QColor>
#include <QStringList>
#include <QWidget>

#include <string>

class QFrame;
class QLabel;
class QListWidget;
class QListWidgetItem;
class QPlainTextEdit;
class QTimer;
class QToolButton;

class TForm5 : public QWidget {
    Q_OBJECT
public:
    explicit TForm5(QWidget* parent = nullptr);

    // --- controls ----------------------------------------------------------------------------------------
    QFrame* ToolBar2;
    QToolButton* BaseButton; // "BASE"
    QFrame* Panel2;          // development marker, navy
    QToolButton* BitBtn3;    // "test-ini"
    QFrame* Panel3;          // development marker
    // The bar below the tool bar. Its form name is "_Panel2" (the widget's objectName); the member is named
    // differently because an identifier of underscore and capital letter is reserved in C++.
    QFrame* Panel2Bar;
    QToolButton* SpeedButton1; // "->[Id]"
    QLabel* StaticText1;       // the chosen section; a click opens its text as a file
    QListWidget* IniListBox;   // section names, sorted without regard to case
    QPlainTextEdit* inifile_memo;

    // Memo backgrounds: whole file, one section, test output.
    static QColor InfoColour();
    static QColor WindowColour();
    static QColor SilverColour();

    // --- operations --------------------------------------------------------------------------------------
    // Clears the section caption and lists the sections of the tool INI store.
    void RefreshSections();
    // Makes path the open tool INI file (through the file switch) and shows its whole text; a path that names
    // no file gives the " nicht gefunden" box and leaves memo and list empty.
    void OpenInInspector(const std::string& path);
    // Shows or hides the two development markers.
    void ShowDevelopMarkers(bool on);
    // Markers on exactly when the first argument after the program is "/use=develop" (letter case counts).
    // The constructor applies the application's own arguments.
    void ApplyArguments(const QStringList& args);
    // True while a large text is still being poured into the memo (it goes in by pieces between events, so
    // the window stays responsive); the memo's text is complete when this is false.
    bool MemoLoading() const;

public slots:
    void IniListBoxClick();
    void SpeedButton1Click();
    void BaseButtonClick();
    void BitBtn3Click();
    void StaticText1Click();
    void inifile_memoDblClick();

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void SetMemoColour(const QColor& colour);
    // Replaces the memo's text (cp1252 lines joined by "\n"); a large text is converted and filled in by
    // pieces from the event loop.
    void SetMemoText(std::string text);
    // The memo's whole text in cp1252 (also while it is still being filled).
    std::string MemoText() const;
    void FillNextPiece();
    // Selects the blank-delimited word at a viewport position, as a double-click in the memo does.
    void SelectWordAt(const QPoint& viewportPos);

    QTimer* fillTimer_;
    QListWidgetItem* selectedAtPress_ = nullptr; // a click on it changes no selection but shows it again
    std::string pendingText_;                    // the text being filled in
    size_t pendingPos_ = 0;                      // where its next piece begins
};

extern TForm5* Form5;
