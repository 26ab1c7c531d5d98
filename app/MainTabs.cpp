// The main window's tabs: which of them a tool shows, the change of tab with its guards, and the show
// handlers that load a settings page and host it in the tab's panel.

#include "app/main.h"

#include "config/ed_ini.h"
#include "pages/Unit2.h"
#include "pages/Unit3.h"
#include "pages/Unit49.h"
#include "pages/Unit5.h"
#include "pages/Unit7.h"
#include "pages/Unit8.h"
#include "platform/qt/QtText.h"

#include <QLabel>
#include <QLayout>
#include <QListWidget>
#include <QPushButton>
#include <QTabWidget>

void TMainForm::SetTabVisible(QWidget* tab, bool visible) {
    // A hidden tab is disabled too: the tab bar's arrows and wheel and the page control's Ctrl+Tab skip
    // only disabled tabs, and a disabled page drops out of the focus chain.
    const int index = PageControl1->indexOf(tab);
    PageControl1->setTabEnabled(index, visible);
    PageControl1->setTabVisible(index, visible);
}

bool TMainForm::TabVisible(QWidget* tab) const {
    return PageControl1->isTabVisible(PageControl1->indexOf(tab));
}

void TMainForm::ShowStartTabs() {
    // Changing visibility may move the current page; no page tab is "shown" by that.
    const bool old = SuppressTabShow;
    SuppressTabShow = true;
    SetTabVisible(tab_main, true);
    PageControl1->setCurrentWidget(tab_main);
    for (QWidget* tab : {tab_inifile, tab_report, tab_modem, tab_monitor, tab_telefon, tab_port})
        SetTabVisible(tab, false);
    PageControl1->setCurrentWidget(tab_main);
    SuppressTabShow = old;
}

void TMainForm::ShowToolTabs(int kind) {
    const bool old = SuppressTabShow;
    SuppressTabShow = true;
    SetTabVisible(tab_modem, kind == 2);
    SetTabVisible(tab_monitor, kind == 2);
    SetTabVisible(tab_telefon, kind == 2);
    SetTabVisible(tab_port, true);
    SuppressTabShow = old;
}
// --- tabs
// ---------------------------------------------------------------------------------------------------

void TMainForm::PageControl1Change(int index) {
    QWidget* tab = PageControl1->widget(index);
    if (SuppressTabShow) {
        LastTab = tab;
        return;
    }
    // A hidden tab asked for by a program step (a tree node, say) is never shown: back to where the user was.
    if (!TabVisible(tab)) {
        ReturnToTab(LastTab && TabVisible(LastTab) ? LastTab : tab_main);
        return;
    }
    // Leaving the Main tab leaves the text view: a changed text is saved, dropped, or the Main tab stays.
    if (LastTab == tab_main && tab != tab_main && !ConfirmLeaveText()) {
        ReturnToTab(tab_main);
        return;
    }
    LastTab = tab;
    if (tab == tab_modem)
        tab_modemShow();
    else if (tab == tab_monitor)
        tab_monitorShow();
    else if (tab == tab_report)
        tab_reportShow();
    else if (tab == tab_port)
        tab_portShow();
    else if (tab == tab_telefon)
        tab_telefonShow();
    else if (tab == tab_inifile)
        tab_inifileShow();
}

void TMainForm::ReturnToTab(QWidget* tab) {
    SuppressTabShow = true;
    PageControl1->setCurrentWidget(tab);
    SuppressTabShow = false;
    LastTab = tab;
}

void TMainForm::HostPage(QWidget* page, QWidget* host) {
    if (!page) return;
    if (page->parentWidget() != host) {
        page->setParent(host, Qt::Widget);
        host->layout()->addWidget(page);
    }
    page->show();
}

void TMainForm::tab_modemShow() { ShowPage(Form2, Panel5); }

void TMainForm::tab_monitorShow() { ShowPage(Form3, Panel7); }

void TMainForm::tab_reportShow() { ShowPage(Form7, Panel4); }

void TMainForm::tab_portShow() { ShowPage(Form8, Panel8); }

void TMainForm::tab_telefonShow() {
    if (!ReselectToolIni()) return;
    Panel3->setText(plat::ToQ(ini_telefonbuch()));
    if (TelefonBuch) {
        TelefonBuch->LoadSettings();
        if (TelefonBuch->EditButton) TelefonBuch->EditButton->hide();
        if (TelefonBuch->ListBox1) TelefonBuch->ListBox1->show();
        HostPage(TelefonBuch, Panel9);
    }
}

void TMainForm::tab_inifileShow() {
    if (!ReselectToolIni()) return;
    if (Form5) Form5->RefreshSections();
}
