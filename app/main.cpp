// The main window built: menu, header, the tabs with their host panels, the tool buttons, the tool tree
// and the text view, wired to their handlers; the tree images. The other MainXxx.cpp and ToolTree.cpp
// hold the handlers. Startup.cpp creates the one window.

#include "app/main.h"

#include "app/Desktop.h"
#include "app/Help.h"
#include "app/MainPrivate.h"
#include "config/ed_ini.h"
#include "pages/PageParts.h"
#include "platform/Paths.h"
#include "platform/qt/QtText.h"

#include <QApplication>
#include <QFont>
#include <QFrame>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPainter>
#include <QPlainTextEdit>
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
    TreeView1->setFont(TypewriterFont("Courier New"));
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
    Memo1->setFont(TypewriterFont("Courier New"));
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
