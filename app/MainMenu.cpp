// The main window's header and menu: help, about, the choice of the tool family, "Beenden" and the close
// box, and the header picture that shows every tab.

#include "app/main.h"

#include "app/Family.h"
#include "app/FirstRun.h"
#include "app/Help.h"
#include "app/Unit99.h"
#include "config/ed_ini.h"
#include "link/port.h"
#include "pages/Dialogs.h"
#include "pages/FileQuestions.h"
#include "pages/Unit10.h"
#include "pages/Unit11.h"
#include "pages/Unit5.h"
#include "platform/Paths.h"
#include "platform/qt/QtText.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QStatusBar>
#include <QTabWidget>
#include <QTreeWidget>

// --- header and menu
// ----------------------------------------------------------------------------------------

void TMainForm::HelpButtonClick() {
    if (Form99)
        Form99->ShowHelpAt(CurrentHelpSection());
    else
        help::ShowHelp(TForm99::HelpFilePath, CurrentHelpSection());
}

void TMainForm::Beschreibung1Click() {
    help::ShowHelp(HelpFile, QStringLiteral("inhalt"));
}

QString TMainForm::CurrentHelpSection() const {
    QWidget* tab = PageControl1->currentWidget();
    if (tab == tab_main) {
        for (QWidget* viewer : {static_cast<QWidget*>(Form5), static_cast<QWidget*>(Form10),
                                static_cast<QWidget*>(Form11)})
            if (viewer && viewer->isVisible()) return help::SectionFor(viewer);
        return QStringLiteral("hauptfenster");
    }
    // The page hosted in the tab; the tab itself names the section when it hosts none.
    for (QWidget* page : tab->findChildren<QWidget*>())
        if (page->property("helpSection").isValid() && page->isVisible()) return help::SectionFor(page);
    return help::SectionFor(tab);
}

void TMainForm::Info1Click() {
    dlg::MessageDlg("VAM/QIR Inifile-Editor 2.01\r\n10.07.2003\r\n\r\nEinstellungs-Editor f\xFC"
                    "r\r\n"
                    "Ed4vam und Mon4vam und Reader",
                    dlg::Kind::Information, dlg::mbNone);
}

void TMainForm::Beenden1Click() {
    if (!ConfirmLeaveText()) return;
    HaltConsole(MyComPort);
    qApp->quit();
}

bool TMainForm::Familie1Click() {
    if (!ConfirmLeaveText()) return false;
    QString start = family::Remembered();
    if (start.isEmpty() || !QFileInfo(start).isDir()) // a family gone since: start where the box can show
        start = ToolRoot == "\\" ? QDir::homePath() : plat::HostToQ(plat::ToHostPath(ToolRoot));
    const QString dir = dlg::ChooseFolder(QStringLiteral("Werkzeugfamilie w\u00e4hlen"), start);
    return !dir.isEmpty() && OpenFamily(dir);
}

bool TMainForm::OpenFamily(const QString& dir) {
    if (!ConfirmLeaveText()) return false;
    const std::string iniName = family::ProgramIniName(ProgramArgs());
    if (const std::string problem = family::Problem(dir, iniName); !problem.empty()) {
        dlg::MessageDlg(problem, dlg::Kind::Error, dlg::mbOK, "Keine Werkzeugfamilie");
        return false;
    }
    if (!filedlg::WriteBackToolIni(true)) return false;
    // The ports of the old family map to its devices: an open one is closed before the mapping goes.
    if (MyComPort) MyComPort->ClosePortFor("Port geschlossen: andere Werkzeugfamilie gew\xE4hlt");
    AdoptProgramIni(family::ProgramIniIn(dir, iniName).toStdString());
    family::Remember(dir);
    // The new family from its start: no tool chosen, its buttons, nothing of the old family shown.
    HideViewers();
    ClearTextView();
    TreeView1->clear();
    CurrentToolIni.clear();
    CurrentToolIniPath.clear();
    ToolKind = 0;
    FormLabel->setText(QStringLiteral("ZAV 4 Inifile Editor [2.0]"));
    FormCreate();
    ShowStartTabs();
    if (auto* note = StatusBar1->findChild<QLabel*>(QStringLiteral("MissingIniNote"))) note->deleteLater();
    firstrun::TellAboutFamily();
    return true;
}

void TMainForm::closeEvent(QCloseEvent* event) {
    if (!ConfirmLeaveText()) {
        event->ignore();
        return;
    }
    event->accept();
    qApp->quit();
}

void TMainForm::PictureClick() {
    const bool old = SuppressTabShow;
    SuppressTabShow = true;
    for (QWidget* tab : {tab_inifile, tab_report, tab_telefon, tab_modem, tab_monitor})
        SetTabVisible(tab, true);
    SuppressTabShow = old;
    if (Form5) Form5->ShowDevelopMarkers(true);
}
