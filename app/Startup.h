#pragma once
// The program's application object and the creation of its forms.

#include <QApplication>

#include <string>
#include <vector>

// The application: an exception that ends a GUI action is shown as a German error box, and the program
// goes on.
class TApplication : public QApplication {
    Q_OBJECT
public:
    TApplication(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
};

// Shows an exception that ended a GUI action (the general handler).
void ShowActionError(const char* message);

// After the main window is shown: the start-up problems of the configuration as message boxes (for a family
// the user cannot write, one box with the offer of a copy, see firstrun::TellAboutFamily), and when the
// program's own INI file was not found, a German explanation in the status bar (for good) and once in a box
// that also offers the example family as the user's own copy.
void ShowStartupNotes(const std::vector<std::string>& args);

// Creates the program's forms once each, in their fixed order: main window, page base form, file switch,
// port test console, the pages, the viewers. Each global form pointer is set.
void CreateForms();
// Deletes the forms again (pages first, the main window last) and clears their pointers.
void DestroyForms();

// Program end: the configuration layer's shutdown (open file written back, closing lines, logs closed). A
// write-back that fails is shown to the user as well as logged: the edits would otherwise be lost unseen.
void EndConfiguration();
