#pragma once
// The page base form: the template of a settings page (title, picture, help button, page area, save and
// abort buttons). One instance lives hidden over the main window's client panel for the whole run; the
// main window uses its help operation.

#include <QWidget>

class QFrame;
class QLabel;
class QPushButton;
class QTabWidget;
class QToolButton;

class TForm99 : public QWidget {
    Q_OBJECT
public:
    explicit TForm99(QWidget* parent = nullptr);

    // The help file that HelpButtonClick opens.
    static const char* const HelpFilePath;
    static constexpr int HelpContext = 450;

    QLabel* FormLabel;
    QLabel* Picture;
    QToolButton* HelpButton;
    QFrame* Strich;
    QFrame* Orientierung;
    QTabWidget* PageControl1;
    QToolButton* Next;
    QPushButton* OKButton;
    QPushButton* AbortButton;
    QPushButton* WiderrufenButton;
    QPushButton* SichernButton;
    QLabel* Inform;
    QLabel* Highlight;
    QLabel* Init_from_Tree;

    // Places the form over the main window's client panel (its width, 10 pixels less high, 14 lower).
    void FormCreate(QWidget* clientPanel);

    // A derived page loads its values from the system module data; the base form has no values, so
    // calling it here is the abstract-call error (std::logic_error).
    virtual void LoadFromSysMod();
    // Second page hook; nothing to do in the base form.
    virtual void UpdatePage() {}

    // The help file through the desktop, or the manual at section when this machine has no help file.
    void ShowHelpAt(const QString& section);

public slots:
    void HelpButtonClick();
};

extern TForm99* Form99;
