#include "app/Startup.h"

#include "app/Unit99.h"
#include "app/main.h"
#include "config/Reports.h"
#include "config/ed_ini.h"
#include "link/port.h"
#include "pages/Dialogs.h"
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
}

namespace {
template <class T> void Destroy(T*& form) {
    delete form;
    form = nullptr;
}
} // namespace

void DestroyForms() {
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
    try {
        ReleaseToolIni();
    } catch (const std::exception& e) {
        WriteLogLine(e.what());
        ShowActionError(e.what());
    }
    ShutdownConfiguration();
}
