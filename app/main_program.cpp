// ini4zav: the settings editor of the lift-controller service tools.

#include "app/Startup.h"
#include "app/main.h"
#include "config/Reports.h"
#include "config/SysMod.h"
#include "config/ed_ini.h"
#include "pages/Dialogs.h"
#include "platform/qt/QtTime.h"
#include "serial/port/SxComPort.h"
#include "serial/widgets/ComSelect.h"
#include "sim/FarEnds.h"
#include "sim/SimController.h"

#include <clocale>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    std::setlocale(LC_TIME, ""); // dates and times in the user's own format

    // The configuration comes first: every window reads it.
    std::vector<std::string> args(argv, argv + argc);
    InitReports();
    StartConfiguration(args);
    StartSysMod();

    TApplication app(argc, argv);
    TApplication::setApplicationName("Editor f\u00fcr ZAV-IniFiles");
    for (const std::string& message : StartupMessages())
        dlg::MessageDlg(message, dlg::Kind::Warning, dlg::mbOK);

    // Serial ports deliver their events on the GUI thread, ask for a port through the selection dialog,
    // and show what an event handler throws like any other failed action.
    sx::TSxCustomComPort::SetDefaultGuiHandoff(&plat::QtGuiHandoff::Instance());
    sx::TSxCustomComPort::SetExceptionHandler([](const std::exception& e) { ShowActionError(e.what()); });
    sx::SxInstallPortPrompt();
    // A call of the simulated modem ("simmodem") reaches the simulated lift controller.
    sim::SetDefaultFarEndFactory(sim::ControllerFarEnds());

    CreateForms();
    MainForm->ShowStartTabs();
    MainForm->show();
    const int result = TApplication::exec();

    DestroyForms();
    EndConfiguration();
    EndSysMod();
    return result;
}
