// ini4zav: the settings editor of the lift-controller service tools.

#include "app/Desktop.h"
#include "app/Family.h"
#include "app/Startup.h"
#include "app/main.h"
#include "config/Reports.h"
#include "config/SysMod.h"
#include "config/ed_ini.h"
#include "pages/Dialogs.h"
#include "pages/FileQuestions.h"

#include "platform/Console.h"
#include "platform/Files.h"
#include "platform/qt/QtTime.h"
#include "serial/port/SxComPort.h"
#include "serial/widgets/ComSelect.h"
#include "sim/FarEnds.h"
#include "sim/SimController.h"
#include <QStatusBar>

#include <QCoreApplication>
#include <QTimer>

#include <clocale>
#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    // A pipe whose reader went away fails the write; it does not end the program with unsaved edits.
    plat::IgnoreBrokenPipe();
    std::vector<std::string> args(argv, argv + argc);
    // --help and --version answer on the terminal, without a window and without a display.
    if (desktop::AsksForInfo(args)) {
        plat::UseParentConsole();
        const QCoreApplication console(argc, argv); // where the program lies, for the manual's place
        std::fputs(desktop::CommandLineInfo(args).value_or("").c_str(), stdout);
        return 0;
    }
    std::setlocale(LC_TIME, ""); // dates and times in the user's own format

    // The configuration comes first: every window reads it.
    InitReports();
    // The program's INI file: the one /i= names, else the family chosen last time, else the working
    // directory's.
    StartConfiguration(args, family::StartIni(args));
    StartSysMod();

    TApplication app(argc, argv);
    desktop::SetUpApplication(app, desktop::RequestedQtLanguage());

    // Serial ports deliver their events on the GUI thread, ask for a port through the selection dialog,
    // and show what an event handler throws like any other failed action.
    sx::TSxCustomComPort::SetDefaultGuiHandoff(&plat::QtGuiHandoff::Instance());
    sx::TSxCustomComPort::SetExceptionHandler([](const std::exception& e) { ShowActionError(e.what()); });
    sx::SxInstallPortPrompt();
    // A call of the simulated modem ("simmodem") reaches the simulated lift controller.
    sim::SetDefaultFarEndFactory(sim::ControllerFarEnds());

    CreateForms();
    // Questions and messages about files go to the user from here on (those of the start-up waited).
    filedlg::Install([](const QString& text) {
        if (MainForm) MainForm->StatusBar1->showMessage(text);
    });
    MainForm->ShowStartTabs();
    MainForm->show();
    // The window opens first; what went wrong at the start is explained over it.
    QTimer::singleShot(0, MainForm, [&args] { ShowStartupNotes(args); });
    const int result = TApplication::exec();

    DestroyForms();
    EndConfiguration();
    EndSysMod();
    return result;
}
