#include "pages/unit80.h"

#include "config/ed_ini.h"
#include "pages/Dialogs.h"
#include "pages/Unit5.h"
#include "platform/qt/QtText.h"

#include <exception>

TForm80* Form80 = nullptr;

TForm80::TForm80(QWidget* parent) : QWidget(parent) {
    setObjectName("Form80");
}

void TForm80::OpenToolIni(int kind, const std::string& path) {
    ToolKind = kind;
    SwitchTo(path);
    if (Form5) Form5->RefreshSections();
}

void TForm80::OpenIniFile(const std::string& path) {
    ToolKind = 3;
    SwitchTo(path);
}

void TForm80::SwitchTo(const std::string& path) {
    // A write-back that fails (read-only file, full disk) must not leave the program without a file:
    // the user is told, and the switch goes on. The old file on disk stays as it was.
    try {
        ReleaseToolIni();
    } catch (const std::exception& e) {
        dlg::MessageDlg(e.what(), dlg::Kind::Error, dlg::mbOK);
    }
    OpenConfiguration("", path, false);
    emit PathOpened(plat::ToQ(path));
}
