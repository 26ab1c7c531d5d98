#include "app/Startup.h"

#include "app/Desktop.h"
#include "app/FirstRun.h"
#include "app/HelpWindow.h"
#include "app/Unit99.h"
#include "app/main.h"
#include "config/Reports.h"
#include "config/ed_ini.h"
#include "link/port.h"
#include "pages/Dialogs.h"
#include "pages/FileQuestions.h"
#include "pages/Unit10.h"
#include "pages/Unit11.h"
#include "pages/Unit2.h"
#include "pages/Unit3.h"
#include "pages/Unit49.h"
#include "pages/Unit5.h"
#include "pages/Unit7.h"
#include "pages/Unit8.h"
#include "pages/Unit9.h"
#include "pages/unit80.h"
#include "platform/qt/QtText.h"

#include <QCoreApplication>
#include <QLabel>
#include <QStatusBar>

#include <exception>

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool TApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
        ShowActionError(e.what());
    } catch (...) {
        ShowActionError("Unbekannter Fehler");
    }
    return false;
}

void ShowActionError(const char* message) {
    dlg::MessageDlg(message, dlg::Kind::Error, dlg::mbOK);
}

void CreateForms() {
    MainForm = new TMainForm;
    Form99 = new TForm99;
    Form99->FormCreate(MainForm->Panel1);
    Form80 = new TForm80;
    QObject::connect(Form80, &TForm80::PathOpened, MainForm, [](const QString& path) {
        if (MainForm) MainForm->FormLabel->setText(path);
    });
    // The console's input boxes go through the dialog wrapper like every other modal question.
    TMyComPort::InputQuery = dlg::InputQuery;
    TMyComPort::FileNameQuery = [](const std::string& caption, const std::string& filter, std::string& name,
                                   bool append) {
        return dlg::FileNameDialog(caption, filter, name,
                                   append ? dlg::FileMode::Append : dlg::FileMode::Save);
    };
    MyComPort = new TMyComPort;
    Form2 = new TForm2;
    Form3 = new TForm3;
    Form5 = new TForm5;
    Form7 = new TForm7;
    TelefonBuch = new TTelefonBuch;
    Form8 = new TForm8;
    Form9 = new TForm9;
    Form10 = new TForm10;
    Form11 = new TForm11;

    // Where F1 and the help button lead: the manual's section of each page and viewer.
    const std::pair<QWidget*, const char*> sections[] = {
        {Form2, "modemtypen"}, {Form3, "monitor"},     {Form5, "ini-inspektor"}, {Form7, "report"},
        {TelefonBuch, "telefonbuch"}, {Form8, "port"}, {Form9, "textansicht"},    {Form10, "baumansicht"},
        {Form11, "bildansicht"}};
    for (auto [form, section] : sections) form->setProperty("helpSection", QString::fromLatin1(section));
    MyComPort->setProperty("helpContext", 470);
}

void ShowStartupNotes(const std::vector<std::string>& args) {
    // Log files that could not be made: one box each, or part of the one about a read-only family.
    firstrun::TellAboutFamily();
    // Arguments nothing takes are ignored, and said so: in the status bar for good and in the main log.
    if (const std::string ignored =
            desktop::IgnoredArgumentsText(desktop::IgnoredArguments(args, QCoreApplication::arguments()));
        !ignored.empty()) {
        WriteLogLine(ignored);
        if (MainForm) {
            auto* note = new QLabel(plat::ToQ(ignored));
            note->setObjectName(QStringLiteral("IgnoredArgumentsNote"));
            note->setToolTip(note->text()); // whole, when the status bar is too narrow for it
            MainForm->StatusBar1->addPermanentWidget(note);
        }
    }
    const std::string missing = desktop::MissingProgramIniText(args);
    if (missing.empty()) return;
    if (MainForm) {
        // The file looked for stays in the status bar (nothing else uses it), the whole text as its tooltip.
        const QString text = plat::ToQ(missing);
        auto* note = new QLabel(QStringLiteral("Eigene INI-Datei nicht gefunden: %1 \u2013 Start mit /i=DATEI")
                                    .arg(text.section(QLatin1Char('\n'), 1, 1).trimmed()));
        note->setObjectName(QStringLiteral("MissingIniNote"));
        note->setToolTip(text);
        MainForm->StatusBar1->addWidget(note, 1);
    }
    // A newcomer is offered the example family, as a copy of the user's own.
    const std::string offer = firstrun::ExampleOffer();
    std::vector<std::pair<int, std::string>> buttons;
    if (!offer.empty()) buttons.emplace_back(dlg::mrRetry, firstrun::ExampleButton());
    buttons.emplace_back(dlg::mrYes, "Werkzeugfamilie w\xE4hlen \x85");
    buttons.emplace_back(dlg::mrOK, "OK");
    const int answer = dlg::AskDlg(offer.empty() ? missing : missing + "\n\n" + offer, dlg::Kind::Information,
                                   buttons, dlg::mrOK, "Eigene INI-Datei fehlt");
    if (answer == dlg::mrYes && MainForm) MainForm->Familie1Click();
    if (answer == dlg::mrRetry) firstrun::CopyAndOpen(firstrun::ExampleFamily());
}

namespace {
template <class T> void Destroy(T*& form) {
    delete form;
    form = nullptr;
}
} // namespace

void DestroyForms() {
    help::DestroyWindow();
    Destroy(Form11);
    Destroy(Form10);
    Destroy(Form9);
    Destroy(Form8);
    Destroy(TelefonBuch);
    Destroy(Form7);
    Destroy(Form5);
    Destroy(Form3);
    Destroy(Form2);
    Destroy(MyComPort);
    Destroy(Form80);
    Destroy(Form99);
    Destroy(MainForm);
}

void EndConfiguration() {
    // The user may try again or save elsewhere; the program ends either way.
    filedlg::WriteBackToolIni(false);
    ShutdownConfiguration();
    filedlg::Uninstall();
}
