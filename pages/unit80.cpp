#include "pages/unit80.h"

#include "config/ed_ini.h"
#include "pages/Dialogs.h"
#include "pages/FileQuestions.h"
#include "pages/Unit5.h"
#include "platform/qt/QtText.h"

#include <exception>

TForm80* Form80 = nullptr;

TForm80::TForm80(QWidget* parent) : QWidget(parent) {
    setObjectName("Form80");
}

bool TForm80::OpenToolIni(int kind, const std::string& path) {
    if (!SwitchTo(path)) return false;
    ToolKind = kind;
    if (Form5) Form5->RefreshSections();
    return true;
}

bool TForm80::OpenIniFile(const std::string& path) {
    if (!SwitchTo(path)) return false;
    ToolKind = 3;
    return true;
}

bool TForm80::SwitchTo(const std::string& path) {
    // A write-back that fails (read-only file, full disk, a change on disk the user would not overwrite)
    // refuses the switch unless the user gives the edits up or saves them elsewhere: they are never
    // thrown away behind his back.
    if (!filedlg::WriteBackToolIni(true)) return false;
    OpenConfiguration("", path, false);
    emit PathOpened(plat::ToQ(path));
    return true;
}
