// The tool buttons and the choice of the tool INI file they make: the file switch opens it, the tabs
// follow its tool kind, the tool tree is built from it. The page tabs re-select it (ReselectToolIni).

#include "app/main.h"

#include "app/MainPrivate.h"
#include "config/ed_ini.h"
#include "pages/FileQuestions.h"
#include "pages/Unit10.h"
#include "pages/Unit11.h"
#include "pages/Unit2.h"
#include "pages/Unit5.h"
#include "pages/Unit9.h"
#include "pages/unit80.h"
#include "platform/Paths.h"
#include "platform/qt/QtText.h"

#include <QLabel>

bool TMainForm::SelectToolIni(int kind, const std::string& relPath) {
    const std::string path = ToolRoot + relPath;
    if (Form80) {
        if (!Form80->OpenToolIni(kind, path)) return false;
    } else { // no file switch (a test's bare window): the same switch, done here
        if (!filedlg::WriteBackToolIni(true)) return false;
        OpenConfiguration("", path, false);
    }
    CurrentToolIni = relPath;
    ToolKind = kind;
    CurrentToolIniPath = path;
    FormLabel->setText(plat::ToQ(CurrentToolIniPath));
    return true;
}

void TMainForm::HideViewers() {
    for (QWidget* viewer : {static_cast<QWidget*>(Form11), static_cast<QWidget*>(Form10),
                            static_cast<QWidget*>(Form5), static_cast<QWidget*>(Form9)})
        if (viewer) viewer->hide();
}

bool TMainForm::ReselectToolIni() {
    HideViewers();
    if (SelectToolIni(ToolKind, CurrentToolIni)) return true;
    // Refused: the page may still show the file when it is the one kept open, edits and all.
    return !IniFileName().empty() && IniFileName() == plat::ExpandFileName(CurrentToolIniPath);
}

void TMainForm::Ed4VAm1Click() {
    if (!ConfirmLeaveText()) return;
    if (!SelectToolIni(EditorVam.kind, EditorVam.iniFile)) return;
    ShowToolTabs(EditorVam.kind);
    BuildToolTree();
}

void TMainForm::Ed4QIr1Click() {
    if (!ConfirmLeaveText()) return;
    if (!SelectToolIni(EditorQir.kind, EditorQir.iniFile)) return;
    ShowToolTabs(EditorQir.kind);
    BuildToolTree();
}

void TMainForm::Mon4VAm1Click() {
    if (!ConfirmLeaveText()) return;
    if (!SelectToolIni(Monitor.kind, Monitor.iniFile)) return;
    ShowToolTabs(Monitor.kind);
    ModemDatabasePath = SubstituteBase(ToolIni().ReadString("FileList", "modems.ini", ""));
    BuildToolTree();
}

void TMainForm::SpeedButton1Click() {
    if (!ConfirmLeaveText()) return;
    if (!SelectToolIni(Reader.kind, Reader.iniFile)) return;
    ShowToolTabs(Reader.kind);
    BuildToolTree();
}

void TMainForm::SpeedButton5Click() {
    if (!ConfirmLeaveText()) return;
    if (!SelectToolIni(Decoder.kind, Decoder.iniFile)) return;
    ShowToolTabs(Decoder.kind);
    BuildToolTree();
}
