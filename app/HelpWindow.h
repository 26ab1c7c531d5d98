#pragma once
// The program's own help window: the HTML manual shown inside the program (Qt Widgets only, so help works
// on every machine, with or without a browser), opened at a section, with its pictures, working links, a
// search field and "Im Browser öffnen" for those who want the desktop's browser after all.

#include <QPointer>
#include <QUrl>
#include <QWidget>

class QLabel;
class QLineEdit;
class QTextBrowser;
class QToolButton;

class THelpWindow : public QWidget {
    Q_OBJECT
public:
    explicit THelpWindow(QWidget* parent = nullptr);

    // Shows page (a local HTML file, its fragment the section) and brings the window to the front. From
    // inside a modal dialog the window is modal itself, or the dialog would block it.
    void ShowAt(const QUrl& page);
    // The section shown last (the fragment of the page's address).
    QString Section() const;
    // Finds the search field's text from the cursor on (backward: towards the start), starting over at the
    // other end once; the match is selected and scrolled into view. False, with a note, when there is none.
    bool Find(bool backward = false);
    // A link clicked in the page: a place in the manual is shown here, anything else (web addresses, mail)
    // goes to the desktop; when that fails the window's note line says so.
    void FollowLink(const QUrl& link);
    // The shown section in the desktop's browser; a German message when that is not possible.
    bool OpenInBrowser();

    QToolButton* BackButton;
    QToolButton* ForwardButton;
    QToolButton* HomeButton;
    QLineEdit* SearchEdit;
    QToolButton* FindNextButton;
    QToolButton* FindPreviousButton;
    QToolButton* BrowserButton;
    QTextBrowser* Browser;
    QLabel* Note; // what a search or a link found, or why not

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Modal over the dialog modal (so the dialog does not block it), or not modal for nullptr.
    void SetModalOver(QWidget* modal);
    // The dialog is gone: an ordinary window again.
    void LeaveModality();

    QUrl Shown;                  // the page with the section asked for last
    QPointer<QWidget> ModalOver; // the modal dialog the window was opened from
};

namespace help {

// The help window, made on first use; nullptr before.
THelpWindow* Window();
// Shows the help window at page (made when needed).
THelpWindow* ShowWindow(const QUrl& page);
// Deletes the help window (program end).
void DestroyWindow();

} // namespace help
