#include "app/main.h"

#include "app/Desktop.h"
#include "app/Family.h"
#include "app/Help.h"
#include "app/Shell.h"
#include "app/Unit99.h"
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
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/Text.h"
#include "platform/qt/QtText.h"

#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QDir>
#include <QFont>
#include <QFrame>
#include <QHBoxLayout>
#include <QListWidget>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QSplitter>
#include <QStatusBar>
#include <QTabWidget>
#include <QToolBar>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <functional>

TMainForm* MainForm = nullptr;

namespace {

// The tool buttons: component, caption, hint, INI file below the root, tool kind.
struct ToolButtonInfo {
    const char* name;
    const char* caption;
    const char* hint;
    const char* iniFile;
    int kind;
};
constexpr ToolButtonInfo EditorVam{"SpeedButton2", "Ed4VAm", "ed-4-vam Inifile selektiert",
                                   "ed4vam\\ed4vam.ini", 1};
constexpr ToolButtonInfo EditorQir{"SpeedButton4", "Ed4QIr", "ed-4-qir Inifile selektiert",
                                   "ed4vam\\ed4qir.ini", 1};
constexpr ToolButtonInfo Monitor{"SpeedButton3", "Mon4VAm", "mon-4-vam Inifile selektiert",
                                 "mon4vam\\mon4vam.ini", 2};
constexpr ToolButtonInfo Reader{"SpeedButton1", "Reader", "", "Reader\\reader.ini", 3};
constexpr ToolButtonInfo Decoder{"SpeedButton5", "Decoder", "", "Reader\\decode.ini", 3};

// Replaces the first "$(BASE)" of text, in any letter case, by base.
std::string ReplaceBase(const std::string& text, const std::string& base) {
    const std::size_t at = plat::AnsiUpperCase(text).find("$(BASE)");
    if (at == std::string::npos) return text;
    return text.substr(0, at) + base + text.substr(at + 7);
}

// The tree images 0..9, drawn here: folder, open folder, text, picture, INI file, tree, phone book,
// help, system module, log.
QVector<QIcon> MakeTreeImages() {
    QVector<QIcon> icons;
    auto draw = [](const std::function<void(QPainter&)>& paint) {
        QPixmap pixmap(16, 16);
        pixmap.fill(Qt::transparent);
        QPainter p(&pixmap);
        p.setRenderHint(QPainter::Antialiasing);
        paint(p);
        return QIcon(pixmap);
    };
    // The desktop's icon theme first where it has a fitting icon; the drawn image otherwise.
    static const char* const themeNames[] = {"folder",        "folder-open",      "text-x-generic",
                                             "image-x-generic", "text-x-script", "view-list-tree",
                                             "x-office-address-book", "help-browser", "application-x-firmware",
                                             "text-x-log"};
    auto sheet = [](QPainter& p, QColor fill) {
        p.setPen(QColor(80, 80, 80));
        p.setBrush(fill);
        p.drawPolygon(QPolygon({{3, 1}, {10, 1}, {13, 4}, {13, 14}, {3, 14}}));
    };
    auto lines = [](QPainter& p, QColor colour) {
        p.setPen(colour);
        for (int y = 5; y <= 12; y += 2)
            p.drawLine(5, y, 11, y);
    };
    icons << draw([](QPainter& p) { // 0 folder
        p.setPen(QColor(150, 110, 20));
        p.setBrush(QColor(240, 200, 80));
        p.drawRect(1, 4, 14, 10);
        p.drawRect(1, 2, 6, 2);
    });
    icons << draw([](QPainter& p) { // 1 open folder
        p.setPen(QColor(150, 110, 20));
        p.setBrush(QColor(250, 220, 120));
        p.drawRect(1, 3, 12, 10);
        p.setBrush(QColor(240, 190, 60));
        p.drawPolygon(QPolygon({{3, 7}, {15, 7}, {13, 13}, {1, 13}}));
    });
    icons << draw([&](QPainter& p) { // 2 text
        sheet(p, Qt::white);
        lines(p, QColor(60, 60, 160));
    });
    icons << draw([&](QPainter& p) { // 3 picture
        p.setPen(QColor(60, 60, 60));
        p.setBrush(QColor(150, 200, 250));
        p.drawRect(1, 2, 14, 12);
        p.setBrush(QColor(60, 150, 60));
        p.drawPolygon(QPolygon({{2, 13}, {6, 7}, {10, 13}}));
        p.setBrush(QColor(250, 220, 40));
        p.drawEllipse(QPoint(11, 6), 2, 2);
    });
    icons << draw([&](QPainter& p) { // 4 INI file
        sheet(p, QColor(255, 255, 220));
        p.setPen(QColor(160, 30, 30));
        p.drawLine(5, 5, 11, 5);
        p.setPen(QColor(60, 60, 60));
        p.drawLine(5, 8, 8, 8);
        p.drawLine(9, 8, 11, 8);
        p.drawLine(5, 11, 8, 11);
        p.drawLine(9, 11, 11, 11);
    });
    icons << draw([](QPainter& p) { // 5 tree
        p.setPen(QPen(QColor(20, 100, 20), 1.5));
        p.drawLine(4, 3, 4, 13);
        p.drawLine(4, 8, 10, 8);
        p.drawLine(4, 13, 10, 13);
        p.setBrush(QColor(60, 170, 60));
        p.drawRect(2, 1, 5, 4);
        p.drawRect(10, 6, 4, 4);
        p.drawRect(10, 11, 4, 4);
    });
    icons << draw([](QPainter& p) { // 6 phone book
        p.setPen(QColor(90, 20, 20));
        p.setBrush(QColor(180, 40, 40));
        p.drawRoundedRect(3, 1, 10, 14, 2, 2);
        p.setBrush(Qt::white);
        p.drawEllipse(QPoint(8, 8), 3, 3);
    });
    icons << draw([](QPainter& p) { // 7 help
        p.setPen(QColor(20, 60, 150));
        p.setBrush(QColor(70, 120, 220));
        p.drawEllipse(1, 1, 14, 14);
        p.setPen(Qt::white);
        QFont f = p.font();
        f.setBold(true);
        f.setPixelSize(11);
        p.setFont(f);
        p.drawText(QRect(1, 1, 14, 14), Qt::AlignCenter, "?");
    });
    icons << draw([](QPainter& p) { // 8 system module
        p.setPen(QColor(60, 60, 60));
        p.setBrush(QColor(150, 150, 160));
        p.drawRect(3, 3, 10, 10);
        for (int i = 5; i <= 11; i += 3) {
            p.drawLine(i, 1, i, 3);
            p.drawLine(i, 13, i, 15);
            p.drawLine(1, i, 3, i);
            p.drawLine(13, i, 15, i);
        }
    });
    icons << draw([&](QPainter& p) { // 9 log
        sheet(p, QColor(230, 230, 230));
        lines(p, QColor(150, 40, 150));
    });
    for (int i = 0; i < icons.size(); ++i)
        icons[i] = QIcon::fromTheme(QString::fromLatin1(themeNames[i]), icons[i]);
    return icons;
}

// Asks whether the changes in memo are written to path; true when the caller may go on (saved, or the
// changes dropped), false to stay (Abbrechen, the box closed, or the save failed and was shown).
bool AskSaveChanges(QPlainTextEdit* memo, const std::string& path, const std::function<void()>& save,
                    const std::function<void()>& drop) {
    if (!memo->document()->isModified()) return true;
    const int answer = dlg::MessageDlg(plat::FromQ(QStringLiteral("Änderungen an %1 speichern?")
                                                       .arg(plat::ToQ(path))),
                                       dlg::Kind::Confirmation, dlg::mbYes | dlg::mbNo | dlg::mbCancel);
    if (answer == dlg::mrYes) {
        try {
            save();
        } catch (const std::exception& e) {
            dlg::MessageDlg(e.what(), dlg::Kind::Error, dlg::mbOK);
            return false;
        }
        memo->document()->setModified(false);
        return true;
    }
    if (answer == dlg::mrNo) {
        memo->document()->setModified(false);
        drop();
        return true;
    }
    return false;
}

QWidget* HostPanel(QWidget* parent, const char* name) {
    auto* panel = new QWidget(parent);
    panel->setObjectName(name);
    auto* layout = new QVBoxLayout(panel);
    layout->setContentsMargins(0, 0, 0, 0);
    return panel;
}

QWidget* Tab(QTabWidget* tabs, const char* name, const char* caption) {
    auto* tab = new QWidget;
    tab->setObjectName(name);
    auto* layout = new QVBoxLayout(tab);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    tabs->addTab(tab, caption);
    return tab;
}

QToolButton* ToolButton(QToolBar* bar, const ToolButtonInfo& info) {
    auto* b = new QToolButton(bar);
    b->setObjectName(info.name);
    b->setText(info.caption);
    b->setToolTip(info.hint);
    b->setFixedSize(55, 35);
    QFont small = b->font();
    small.setPointSizeF(small.pointSizeF() * 0.85);
    b->setFont(small);
    bar->addWidget(b);
    return b;
}

void Spacer(QToolBar* bar) {
    auto* s = new QFrame(bar);
    s->setFixedWidth(8);
    bar->addWidget(s);
}

} // namespace

void TClickImage::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) emit Clicked();
    QLabel::mousePressEvent(event);
}

TMainForm::TMainForm(QWidget* parent) : QMainWindow(parent) {
    setObjectName("MainForm");
    setWindowTitle("ini4zav - Ini Editor f\u00fcr mon4vam und ed4vam");
    resize(790, 590);

    // Menu.
    Datei1 = menuBar()->addMenu("&Datei");
    Familie1 = Datei1->addAction(QStringLiteral("&Werkzeugfamilie w\u00e4hlen \u2026"));
    Familie1->setObjectName(QStringLiteral("Familie1"));
    connect(Familie1, &QAction::triggered, this, [this] { Familie1Click(); });
    Datei1->addSeparator();
    Beenden1 = Datei1->addAction("&Beenden");
    Info1Menu = menuBar()->addMenu("Info");
    Info1 = Info1Menu->addAction("Info");
    Beschreibung1 = Info1Menu->addAction("Beschreibung");
    connect(Beenden1, &QAction::triggered, this, &TMainForm::Beenden1Click);
    connect(Info1, &QAction::triggered, this, &TMainForm::Info1Click);
    connect(Beschreibung1, &QAction::triggered, this, &TMainForm::Beschreibung1Click);

    auto* client = new QWidget(this);
    client->setObjectName("Panel1");
    Panel1 = client;
    auto* clientLayout = new QVBoxLayout(client);
    clientLayout->setContentsMargins(0, 0, 0, 0);
    clientLayout->setSpacing(0);

    // Header: picture, title label, rule, help button.
    auto* header = new QWidget(client);
    header->setFixedHeight(42);
    auto* headerLayout = new QHBoxLayout(header);
    headerLayout->setContentsMargins(4, 2, 4, 2);
    Picture = new TClickImage(header);
    Picture->setObjectName("Picture");
    {
        QPixmap pixmap(36, 36);
        pixmap.fill(Qt::transparent);
        QPainter p(&pixmap);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(QPen(QColor(0, 0, 128), 2));
        p.setBrush(QColor(200, 210, 240));
        p.drawRect(8, 2, 20, 32); // the lift shaft
        p.setBrush(QColor(0, 0, 128));
        p.drawRect(11, 14, 14, 12); // the car
        p.drawLine(18, 2, 18, 14);
        Picture->setPixmap(pixmap);
    }
    FormLabel = new QLabel("ZAV 4 Inifile Editor [2.0]", header);
    FormLabel->setObjectName("FormLabel");
    QFont bold = FormLabel->font();
    bold.setBold(true);
    FormLabel->setFont(bold);
    HelpButton = new QToolButton(header);
    HelpButton->setObjectName("HelpButton");
    HelpButton->setAutoRaise(true);
    HelpButton->setText("?");
    headerLayout->addWidget(Picture);
    headerLayout->addWidget(FormLabel, 1);
    headerLayout->addWidget(HelpButton);
    clientLayout->addWidget(header);
    Strich = new QFrame(client);
    Strich->setObjectName("Strich");
    Strich->setFrameShape(QFrame::HLine);
    clientLayout->addWidget(Strich);

    // Tabs and their host panels.
    PageControl1 = new QTabWidget(client);
    PageControl1->setObjectName("PageControl1");
    clientLayout->addWidget(PageControl1, 1);
    tab_main = Tab(PageControl1, "tab_main", "Main");
    tab_inifile = Tab(PageControl1, "tab_inifile", "Ini File");
    tab_report = Tab(PageControl1, "tab_report", "Report");
    tab_modem = Tab(PageControl1, "tab_modem", "Modem-Type");
    tab_monitor = Tab(PageControl1, "tab_monitor", "Monitor Task");
    tab_telefon = Tab(PageControl1, "tab_telefon", "Telefonbuch");
    tab_port = Tab(PageControl1, "tab_port", "Port");
    Panel11 = HostPanel(tab_inifile, "Panel11");
    Panel4 = HostPanel(tab_report, "Panel4");
    Panel5 = HostPanel(tab_modem, "Panel5");
    Panel7 = HostPanel(tab_monitor, "Panel7");
    Panel3 = new QLabel(tab_telefon);
    Panel3->setObjectName("Panel3");
    Panel3->setFixedHeight(30);
    {
        // The phone book sits in a single-line border.
        auto* framed = new QFrame(tab_telefon);
        framed->setObjectName("Panel9");
        framed->setFrameShape(QFrame::Box);
        auto* layout = new QVBoxLayout(framed);
        layout->setContentsMargins(1, 1, 1, 1);
        Panel9 = framed;
    }
    Panel8 = HostPanel(tab_port, "Panel8");
    for (auto [tab, panel] : {std::pair{tab_inifile, Panel11},
                              {tab_report, Panel4},
                              {tab_modem, Panel5},
                              {tab_monitor, Panel7},
                              {tab_telefon, Panel9},
                              {tab_port, Panel8}}) {
        if (tab == tab_telefon) tab->layout()->addWidget(Panel3);
        tab->layout()->addWidget(panel);
    }

    // The Main tab: tool bar, root line, tree and view area.
    ToolBar1 = new QToolBar(tab_main);
    ToolBar1->setObjectName("ToolBar1");
    SpeedButton2 = ToolButton(ToolBar1, EditorVam);
    SpeedButton4 = ToolButton(ToolBar1, EditorQir);
    Spacer(ToolBar1);
    SpeedButton3 = ToolButton(ToolBar1, Monitor);
    Spacer(ToolBar1);
    SpeedButton1 = ToolButton(ToolBar1, Reader);
    SpeedButton5 = ToolButton(ToolBar1, Decoder);
    tab_main->layout()->addWidget(ToolBar1);
    auto* rootLine = new QWidget(tab_main);
    auto* rootLayout = new QHBoxLayout(rootLine);
    rootLayout->setContentsMargins(4, 2, 4, 2);
    auto* vamTools = new QLabel("VamTools:", rootLine);
    vamTools->setFont(bold);
    label3 = new QLabel(rootLine);
    label3->setObjectName("label3");
    rootLayout->addWidget(vamTools);
    rootLayout->addWidget(label3, 1);
    rootLine->setFixedHeight(24);
    tab_main->layout()->addWidget(rootLine);

    Splitter1 = new QSplitter(Qt::Horizontal, tab_main);
    Splitter1->setObjectName("Splitter1");
    TreeView1 = new QTreeWidget(Splitter1);
    TreeView1->setObjectName("TreeView1");
    TreeView1->setHeaderHidden(true);
    TreeView1->setFont(QFont("Courier New"));
    QPalette treePalette = TreeView1->palette();
    treePalette.setColor(QPalette::Base, QColor(255, 255, 225));
    TreeView1->setPalette(treePalette);
    ImageList1 = MakeTreeImages();
    Panel18 = new QWidget(Splitter1);
    Panel18->setObjectName("Panel18");
    auto* viewLayout = new QVBoxLayout(Panel18);
    viewLayout->setContentsMargins(0, 0, 0, 0);
    viewLayout->setSpacing(0);
    Panel16 = new QFrame(Panel18);
    Panel16->setObjectName("Panel16");
    Panel16->setFixedHeight(30);
    auto* panel16Layout = new QHBoxLayout(Panel16);
    panel16Layout->setContentsMargins(2, 0, 2, 0);
    SpeedButton6 = new QToolButton(Panel16);
    SpeedButton6->setObjectName("SpeedButton6");
    SpeedButton6->setText("Save");
    Panel16Caption = new QLabel(Panel16);
    panel16Layout->addWidget(SpeedButton6);
    panel16Layout->addWidget(Panel16Caption, 1);
    Panel16->hide();
    Memo1 = new QPlainTextEdit(Panel18);
    Memo1->setObjectName("Memo1");
    Memo1->setFont(QFont("Courier New"));
    Memo1->setLineWrapMode(QPlainTextEdit::NoWrap);
    Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo1->hide();
    viewLayout->addWidget(Panel16);
    viewLayout->addWidget(Memo1, 1);
    Splitter1->addWidget(TreeView1);
    Splitter1->addWidget(Panel18);
    Splitter1->setSizes({281, 500});
    Splitter1->setStretchFactor(1, 1);
    static_cast<QVBoxLayout*>(tab_main->layout())->addWidget(Splitter1, 1);

    StatusBar1 = new QStatusBar(this);
    StatusBar1->setObjectName("StatusBar1");
    setStatusBar(StatusBar1);
    setCentralWidget(client);

    connect(SpeedButton2, &QToolButton::clicked, this, &TMainForm::Ed4VAm1Click);
    connect(SpeedButton4, &QToolButton::clicked, this, &TMainForm::Ed4QIr1Click);
    connect(SpeedButton3, &QToolButton::clicked, this, &TMainForm::Mon4VAm1Click);
    connect(SpeedButton1, &QToolButton::clicked, this, &TMainForm::SpeedButton1Click);
    connect(SpeedButton5, &QToolButton::clicked, this, &TMainForm::SpeedButton5Click);
    connect(HelpButton, &QToolButton::clicked, this, &TMainForm::HelpButtonClick);
    connect(Picture, &TClickImage::Clicked, this, &TMainForm::PictureClick);
    connect(SpeedButton6, &QToolButton::clicked, this, &TMainForm::SpeedButton6Click);
    connect(TreeView1, &QTreeWidget::itemClicked, this, [this] { TreeView1Click(); });
    // Enter and a double-click do what a click does; the node that has the focus is always scrolled into view.
    connect(TreeView1, &QTreeWidget::itemDoubleClicked, this, [this] { TreeView1Click(); });
    TreeView1->installEventFilter(this);
    connect(TreeView1, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* current) {
        if (current) TreeView1->scrollToItem(current);
    });

    // Where a tool path is shown, its place on this machine is the tooltip.
    for (QWidget* pathLabel : {static_cast<QWidget*>(FormLabel), static_cast<QWidget*>(label3),
                               static_cast<QWidget*>(Panel16Caption), static_cast<QWidget*>(Panel3)})
        desktop::ShowHostPathAsTooltip(pathLabel);
    // Help contexts of the window and its menus; the manual's sections of the Main tab's parts.
    setProperty("helpContext", 10);
    Datei1->setProperty("helpContext", 210);
    Info1Menu->setProperty("helpContext", 220);
    ToolBar1->setProperty("helpSection", QStringLiteral("werkzeuge"));
    TreeView1->setProperty("helpSection", QStringLiteral("werkzeugbaum"));
    Panel18->setProperty("helpSection", QStringLiteral("textansicht"));
    HelpButton->setToolTip(QStringLiteral("Hilfe zu dieser Seite (F1)"));
    connect(PageControl1, &QTabWidget::currentChanged, this, &TMainForm::PageControl1Change);

    if (QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
    FormCreate();
    help::InstallF1(this, HelpFile, {Datei1, Info1Menu});
    LastTab = PageControl1->currentWidget();
}

bool TMainForm::eventFilter(QObject* watched, QEvent* event) {
    if (watched == TreeView1 && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if ((key == Qt::Key_Return || key == Qt::Key_Enter) && TreeView1->currentItem()) {
            TreeView1Click();
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void TMainForm::FormCreate() {
    HelpFile = "\\vamtools\\help\\ini4zav.hlp";
    TreeView1->expandAll();
    SetToolRoot(Base());
    for (auto [button, info] : {std::pair{SpeedButton2, &EditorVam},
                                {SpeedButton4, &EditorQir},
                                {SpeedButton3, &Monitor},
                                {SpeedButton1, &Reader},
                                {SpeedButton5, &Decoder}}) {
        const bool exists = plat::FileExists(ToolRoot + info->iniFile);
        button->setEnabled(exists);
        button->setAutoRaise(!exists);
    }
}

void TMainForm::SetToolRoot(const std::string& dir) {
    ToolRoot = dir + "\\";
    label3->setText(plat::ToQ(ToolRoot));
}

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
    if (start.isEmpty())
        start = ToolRoot == "\\" ? QDir::homePath() : QString::fromStdString(plat::ToHostPath(ToolRoot));
    const QString dir = dlg::ChooseFolder(QStringLiteral("Werkzeugfamilie w\u00e4hlen"), start);
    if (dir.isEmpty()) return false;
    const std::string iniName = family::ProgramIniName(ProgramArgs());
    if (const std::string problem = family::Problem(dir, iniName); !problem.empty()) {
        dlg::MessageDlg(problem, dlg::Kind::Error, dlg::mbOK, "Keine Werkzeugfamilie");
        return false;
    }
    if (!filedlg::WriteBackToolIni(true)) return false;
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
    for (const std::string& message : StartupMessages())
        dlg::MessageDlg(message, dlg::Kind::Warning, dlg::mbOK);
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

// --- tool tree
// ----------------------------------------------------------------------------------------------

void TMainForm::BuildToolTree() {
    // The tree lines go straight to the loader: no temporary file is needed for them.
    std::vector<std::string> lines;
    const TIniStore& ini = ToolIni();
    for (int n = 1;; ++n) {
        std::string line = ini.ReadString("ini-tree", std::to_string(n), "");
        if (line.empty()) break;
        for (char& c : line)
            if (c == '#') c = '\t';
        lines.push_back(std::move(line));
    }
    TreeView1->clear();
    TextNode = nullptr;
    treefile::LoadTreeLines(TreeView1, lines);
    ApplyImagePrefixes();
}

void TMainForm::LoadToolTree(const std::string& fileName) {
    TextNode = nullptr;
    treefile::LoadTreeFile(TreeView1, fileName);
    ApplyImagePrefixes();
}

void TMainForm::ApplyImagePrefixes() {
    std::function<void(QTreeWidgetItem*)> apply = [&](QTreeWidgetItem* item) {
        std::string text = plat::FromQ(item->text(0));
        int image = 0;
        if (text.find(',') != std::string::npos) {
            image = static_cast<unsigned char>(text[0]) - '0';
            text = text.size() > 2 ? text.substr(2, treefile::MaxNodeText) : std::string();
            if (!text.empty()) text[0] = plat::AnsiUpper(text[0]);
            item->setText(0, plat::ToQ(text));
        }
        item->setData(0, Qt::UserRole, image);
        item->setIcon(0, image >= 0 && image < ImageList1.size() ? ImageList1[image] : QIcon());
        for (int i = 0; i < item->childCount(); ++i)
            apply(item->child(i));
    };
    for (int i = 0; i < TreeView1->topLevelItemCount(); ++i)
        apply(TreeView1->topLevelItem(i));
    TreeView1->expandAll();
    // The keyboard starts at the first node, so the focus is visible as soon as the tree has it.
    if (!TreeView1->currentItem() && TreeView1->topLevelItemCount() > 0)
        TreeView1->setCurrentItem(TreeView1->topLevelItem(0));
}

int TMainForm::ClassifyNodeFile(const std::string& extension) {
    if (extension == ".bat" || extension == ".txt" || extension == ".zws" || extension == ".esr") return 1;
    if (extension == ".jpg") return 2;
    if (extension == ".sys" || extension == ".ini") return 3;
    return 0;
}

void TMainForm::PlaceViewer(QWidget* form) {
    if (form->parentWidget() != Panel18) {
        form->setParent(Panel18, Qt::Widget);
        Panel18->layout()->addWidget(form);
    }
    static_cast<QVBoxLayout*>(Panel18->layout())->setStretchFactor(form, 1);
    form->show();
}

void TMainForm::ShowTextNotice(const std::string& notice, const std::string& path) {
    Memo1->setReadOnly(false);
    Memo1->setPlainText(plat::ToQ("\n\n" + notice + "\n\"" + path + "\""));
    Memo1->show();
}

void TMainForm::TreeView1Click() {
    if (!plat::FileExists(CurrentToolIniPath)) return;
    QTreeWidgetItem* node = TreeView1->currentItem();
    if (!node) return;
    const std::string name = plat::AnsiLowerCase(plat::FromQ(node->text(0)));
    std::string base, path;
    {
        const TIniStore onDisk(CurrentToolIniPath); // the file as it is on disk, released at once
        base = onDisk.ReadString("files", "base", "");
        path = onDisk.ReadString("FileList", name, "");
    }
    if (path.empty()) return;
    if (!ConfirmLeaveText()) {
        TreeView1->setCurrentItem(TextNode); // back to the node whose text is still shown
        return;
    }
    HideViewers();
    Memo1->hide();
    Panel16->hide();
    path = ReplaceBase(path, base);
    const int kind = ClassifyNodeFile(plat::ExtractFileExt(name));
    switch (kind) {
    case 1:
        Memo1->clear();
        Panel16Caption->setText(plat::ToQ(path));
        if (plat::FileExists(path)) {
            // A line longer than the editor can lay out in reasonable time is shown cut, read-only and
            // without "Save", so the cut text can never replace the file.
            ShowTextFile(path, plat::ReadFileBytes(path));
            TextNode = node;
            Panel16->show();
            Memo1->show();
            if (name == "telefon.txt") PageControl1->setCurrentWidget(tab_telefon);
        } else {
            ShowTextNotice("NICHT GEFUNDEN", path);
        }
        Memo1->show();
        break;
    case 2:
        if (Form11) {
            Form11->setWindowTitle(plat::ToQ(path));
            Form11->LoadPicture(path); // a failure leaves the viewer hidden
            PlaceViewer(Form11);
        }
        break;
    case 3:
        if (name.find("tree") != std::string::npos) {
            if (Form10) {
                Form10->setWindowTitle(plat::ToQ(path));
                try {
                    treefile::LoadTreeFile(Form10->TreeView1, path);
                } catch (const treefile::TreeLevelError&) {
                    PlaceViewer(Form10); // what loaded before the bad line is shown, then the message
                    throw;
                }
                Form10->TreeView1->expandAll();
                PlaceViewer(Form10);
            }
        } else if (Form5) {
            Form5->setWindowTitle(plat::ToQ(path));
            Form5->OpenInInspector(path);
            Form5->RefreshSections();
            PlaceViewer(Form5);
        }
        break;
    default:
        Memo1->clear();
        ShowTextNotice("OK, aber keine Darstellung", path);
        break;
    }
}

void TMainForm::ShowTextFile(const std::string& path, const std::string& bytes) {
    // A line longer than the editor can lay out in reasonable time is shown cut, read-only and
    // without "Save", so the cut text can never replace the file.
    bool cut = false;
    std::string text;
    for (const std::string& line : treefile::SplitLines(bytes)) {
        cut = cut || line.size() > MaxEditableLine;
        text.append(line, 0, MaxEditableLine);
        text += '\n';
    }
    if (!text.empty()) text.pop_back();
    Memo1->setPlainText(plat::ToQ(text));
    Memo1->document()->setModified(false);
    Memo1->setReadOnly(cut);
    SpeedButton6->setEnabled(!cut);
    SpeedButton6->setToolTip(cut ? QString::fromUtf8("Zeilen über 65536 Zeichen: nur Anzeige") : QString());
    TextViewPath = path;
    TextViewStamp = plat::StampFile(path, bytes);
    TextViewText = Memo1->toPlainText();
}

void TMainForm::SpeedButton6Click() {
    if (!SpeedButton6->isEnabled()) return;
    const std::string path = plat::FromQ(Panel16Caption->text());
    plat::FileStamp stamp = path == TextViewPath ? TextViewStamp : plat::FileStamp{};
    const QString text = Memo1->toPlainText();
    std::string disk;
    if (!textfile::SaveLines(path, text, stamp, path != TextViewPath || text != TextViewText, disk)) {
        ShowTextFile(path, disk); // another program's version, and nothing edited here (or the user chose it)
        return;
    }
    TextViewStamp = stamp;
    TextViewText = text;
    Memo1->document()->setModified(false);
}

bool TMainForm::TextChanged() const {
    const bool mainView = !Panel16->isHidden() && !Memo1->isReadOnly() && Memo1->document()->isModified();
    const bool window = Form9 && Form9->isVisible() && Form9->Memo1->document()->isModified();
    return mainView || window;
}

void TMainForm::ClearTextView() {
    Memo1->clear();
    Memo1->document()->setModified(false);
    Memo1->hide();
    Panel16->hide();
    TextNode = nullptr;
}

bool TMainForm::ConfirmLeaveText() {
    if (!Panel16->isHidden() && !Memo1->isReadOnly() &&
        !AskSaveChanges(
            Memo1, plat::FromQ(Panel16Caption->text()), [this] { SpeedButton6Click(); }, [this] { ClearTextView(); }))
        return false;
    if (Form9 && Form9->isVisible() &&
        !AskSaveChanges(
            Form9->Memo1, plat::FromQ(Form9->windowTitle()), [] { Form9->ToolButton1Click(); },
            [] { Form9->hide(); }))
        return false;
    return true;
}
