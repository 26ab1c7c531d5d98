// The main window through the real forms on a small tool family in a temporary directory: start-up,
// tool buttons and tabs, write-back on every tab switch, the tool tree and every view of a click,
// saving texts, the file switch, help and the orderly end.

#include "app/Desktop.h"
#include "app/Family.h"
#include "app/Help.h"
#include "app/HelpWindow.h"
#include "app/Shell.h"
#include "app/Startup.h"
#include "app/Unit99.h"
#include "app/main.h"
#include "config/ed_ini.h"
#include "link/port.h"
#include "pages/Dialogs.h"
#include "pages/Unit10.h"
#include "pages/Unit11.h"
#include "pages/Unit2.h"
#include "pages/Unit49.h"
#include "pages/Unit5.h"
#include "pages/Unit8.h"
#include "pages/Unit9.h"
#include "pages/unit80.h"
#include "platform/ComMap.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/qt/QtText.h"

#include <QDialog>
#include <QDir>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFontInfo>
#include <QHelpEvent>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTabBar>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextBrowser>
#include <QScrollBar>
#include <QTextDocument>
#include <QTimer>
#include <QToolButton>
#include <QToolTip>
#include <QTreeWidget>
#include <QUrl>
#include <QWheelEvent>
#include <QtTest>

#include <algorithm>
#include <filesystem>
#include <sys/stat.h>

namespace {

// The tool tree of the editor: every view kind, a missing file, a node without entry, $(base) in
// lower case.
const char* const EditorIni =
    "[files]\r\nbase=V:\r\nDataDir=$(BASE)\\ed4vam\\data\r\n"
    "[ini-tree]\r\n1=0,Ed4vam\r\n2=#2,liesmich.txt\r\n3=#2,fehlt.txt\r\n4=#3,bild.jpg\r\n5=#3,kaputt.jpg\r\n"
    "6=#4,backtree.sys\r\n7=#4,sysmod.sys\r\n8=#1,daten.xyz\r\n9=#Ohne.txt\r\n10=#2,ordner.txt\r\n"
    "11=#3,ordner.jpg\r\n"
    "[FileList]\r\nliesmich.txt=$(base)\\ed4vam\\data\\liesmich.txt\r\nfehlt.txt=$(BASE)"
    "\\ed4vam\\data\\fehlt.txt\r\n"
    "bild.jpg=$(BASE)\\ed4vam\\bild.jpg\r\nkaputt.jpg=$(BASE)\\ed4vam\\kaputt.jpg\r\n"
    "backtree.sys=$(BASE)\\ed4vam\\backtree.sys\r\nsysmod.sys=$(BASE)\\ed4vam\\sysmod.sys\r\n"
    "daten.xyz=$(BASE)\\ed4vam\\daten.xyz\r\nordner.txt=$(BASE)\\ed4vam\\data\r\nordner.jpg=$(BASE)"
    "\\ed4vam\r\n";

// The example of the tree rules: Base with Files and Help, Telefon.txt below Help; key 6 after a gap.
const char* const MonitorIni =
    "[files]\r\nbase=V:\r\nDataDir=$(BASE)\\mon4vam\\data\r\ntelefonbuch=telefon.txt\r\n"
    "[ini-tree]\r\n1=0,Base\r\n2=#1,Files\r\n3=#1,Help\r\n4=##2,telefon.txt\r\n6=#Readme\r\n"
    "[FileList]\r\nmodems.ini=$(BASE)\\mon4vam\\modems.ini\r\ntelefon.txt=$(BASE)\\mon4vam\\data\\telefon."
    "txt\r\n";

QString Shape(QTreeWidgetItem* item) {
    QString s = item->text(0) + QString("(%1)").arg(item->data(0, Qt::UserRole).toInt());
    QStringList kids;
    for (int i = 0; i < item->childCount(); ++i)
        kids << Shape(item->child(i));
    return kids.isEmpty() ? s : s + "[" + kids.join(",") + "]";
}

// The manual page a help request leads to, with its section: the forwarding page is followed.
QUrl Target(const QUrl& opened) {
    QFile page(opened.toLocalFile());
    if (!page.open(QIODevice::ReadOnly)) return opened;
    const QString html = QString::fromUtf8(page.readAll());
    const QRegularExpressionMatch m = QRegularExpression("url=([^\"]*)\"").match(html);
    return m.hasMatch() ? QUrl(m.captured(1).replace("&amp;", "&")) : opened;
}

QTreeWidgetItem* FindNode(QTreeWidget* tree, const QString& text) {
    const auto found = tree->findItems(text, Qt::MatchExactly | Qt::MatchRecursive);
    return found.isEmpty() ? nullptr : found.first();
}

} // namespace

class TestMainWindow : public QObject {
    Q_OBJECT

    QTemporaryDir* dir = nullptr;
    std::string root;       // host directory of the tool family, with a trailing "/"
    std::string programIni; // tool path of the program's own INI file
    std::vector<std::string> opened;

    void Put(const std::string& rel, const std::string& bytes) {
        const std::string host = root + rel;
        QDir().mkpath(QString::fromStdString(host.substr(0, host.rfind('/'))));
        QFile f(QString::fromStdString(host));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(bytes.data(), qint64(bytes.size()));
    }
    // rel below the family as this system names it (its separators), as messages and tooltips show it.
    QString Host(const std::string& rel) const {
        return QDir::toNativeSeparators(QString::fromStdString(root + rel));
    }
    QString HostOfTool(const std::string& toolPath) const {
        return plat::HostToQ(plat::ToHostPath(toolPath));
    }
    std::string Get(const std::string& rel) {
        QFile f(QString::fromStdString(root + rel));
        return f.open(QIODevice::ReadOnly) ? f.readAll().toStdString() : std::string("<missing>");
    }
    void Start(bool withProgramIni = true) {
        programIni = plat::FromHostPath(root + (withProgramIni ? "ini4zav.ini" : "nichtda.ini"));
        StartConfiguration({"/opt/ini4zav/ini4zav", "/i=" + programIni});
        CreateForms();
        MainForm->ShowStartTabs();
        MainForm->show();
    }
    QStringList VisibleTabs() {
        QStringList tabs;
        for (int i = 0; i < MainForm->PageControl1->count(); ++i)
            if (MainForm->PageControl1->isTabVisible(i)) tabs << MainForm->PageControl1->tabText(i);
        return tabs;
    }
    void Click(const QString& node) {
        QTreeWidgetItem* item = FindNode(MainForm->TreeView1, node);
        QVERIFY2(item, qPrintable(node));
        MainForm->TreeView1->setCurrentItem(item);
        MainForm->TreeView1Click();
    }

private slots:
    void init() {
        dir = new QTemporaryDir;
        root = dir->path().toStdString() + "/";
        Put("ini4zav.ini", "; eigene Einstellungen\r\n[files]\r\nbase=V:\r\n[drives]\r\nV=" + root +
                               "\r\n[logfiles]\r\nreports=000000000000000000000\r\n");
        Put("ed4vam/ed4vam.ini", EditorIni);
        Put("ed4vam/ed4qir.ini", "[files]\r\nbase=V:\r\n");
        Put("mon4vam/mon4vam.ini", MonitorIni);
        Put("Reader/reader.ini", "[files]\r\nbase=V:\r\n");
        Put("ed4vam/data/liesmich.txt", "Zeile 1\r\nZeile 2\r\n");
        Put("ed4vam/kaputt.jpg", "kein JPEG");
        Put("ed4vam/backtree.sys", "Wurzel\r\n\tAst\r\n\t\tBlatt\r\n");
        Put("ed4vam/sysmod.sys", "[Id]\r\nname=modul\r\n");
        Put("ed4vam/daten.xyz", "?");
        Put("mon4vam/data/telefon.txt", "Zentrale(0301234)\r\n");
        QImage picture(40, 20, QImage::Format_RGB32);
        picture.fill(Qt::darkGreen);
        QVERIFY(picture.save(QString::fromStdString(root + "ed4vam/bild.jpg"), "JPG"));
        opened.clear();
        shell::SetOpenHook([this](const std::string& path) { opened.push_back(path); });
        dlg::ClearHistory();
    }
    void cleanup() {
        DestroyForms();
        ShutdownConfiguration();
        shell::SetOpenHook({});
        shell::SetUrlHook({});
        plat::ClearDriveMappings();
        delete dir;
    }

    void startupShowsMainOnlyAndEnablesButtonsWithFiles() {
        Start();
        QCOMPARE(VisibleTabs(), QStringList{"Main"});
        QCOMPARE(MainForm->PageControl1->currentWidget(), MainForm->tab_main);
        QCOMPARE(MainForm->ToolRoot, std::string("V:\\"));
        QCOMPARE(MainForm->label3->text(), QString("V:\\"));
        QCOMPARE(MainForm->ToolKind, 0);
        QCOMPARE(MainForm->TreeView1->topLevelItemCount(), 0);
        for (QToolButton* b :
             {MainForm->SpeedButton2, MainForm->SpeedButton4, MainForm->SpeedButton3, MainForm->SpeedButton1})
            QVERIFY2(b->isEnabled() && !b->autoRaise(), qPrintable(b->text()));
        QVERIFY(!MainForm->SpeedButton5->isEnabled()); // Reader\decode.ini is missing
        QVERIFY(MainForm->SpeedButton5->autoRaise());
        QCOMPARE(IniFileName(), programIni);
        // The page base form lives hidden inside the window and covers nothing.
        QVERIFY(Form99->isHidden());
        QVERIFY(MainForm->isAncestorOf(Form99));
        QVERIFY_THROWS_EXCEPTION(std::logic_error, Form99->LoadFromSysMod());
        // The tree, the memos and the modem panel line up their columns on any machine, with or without
        // the typewriter family they ask for: wherever the machine has some fixed-pitch family (the offscreen
        // platform under wine has no fonts at all; wine's own platform, on a display, has them).
        const QStringList families = QFontDatabase::families();
        if (std::any_of(families.begin(), families.end(),
                        [](const QString& f) { return QFontDatabase::isFixedPitch(f); }))
            for (QWidget* w : std::initializer_list<QWidget*>{MainForm->TreeView1, MainForm->Memo1,
                                                              Form2->Panel1, MyComPort->Memo})
                QVERIFY2(QFontInfo(w->font()).fixedPitch(),
                         qPrintable(w->objectName() + ": " + w->font().family()));
    }

    void startupWithoutProgramIni() {
        Start(false);
        QCOMPARE(MainForm->ToolRoot, std::string("\\"));
        QCOMPARE(VisibleTabs(), QStringList{"Main"});
        QVERIFY(!ConfigOpen());
        for (QToolButton* b : {MainForm->SpeedButton2, MainForm->SpeedButton4, MainForm->SpeedButton3,
                               MainForm->SpeedButton1, MainForm->SpeedButton5})
            QVERIFY(!b->isEnabled());
    }

    // Before any tool: a page tab selects the root itself, a directory, so no file is open. A directory
    // where a tool INI file belongs does not enable its button.
    void pageTabWithoutToolOpensNothing() {
        QDir(QString::fromStdString(root + "Reader")).mkpath("decode.ini");
        Start();
        QVERIFY(!MainForm->SpeedButton5->isEnabled());
        MainForm->PictureClick();
        MainForm->PageControl1->setCurrentWidget(MainForm->tab_report);
        QCOMPARE(MainForm->CurrentToolIniPath, std::string("V:\\"));
        QVERIFY(!ConfigOpen());
        QCOMPARE(ini_DataDir(), std::string());
        QVERIFY(Get("ini4zav.ini").find("[drives]\r\nV=") != std::string::npos); // written back on the way
    }

    void toolButtonsSelectFileAndTabs() {
        Start();
        MainForm->SpeedButton3->click();
        QCOMPARE(VisibleTabs(), (QStringList{"Main", "Modem-Type", "Monitor Task", "Telefonbuch", "Port"}));
        QCOMPARE(MainForm->CurrentToolIni, std::string("mon4vam\\mon4vam.ini"));
        QCOMPARE(MainForm->CurrentToolIniPath, std::string("V:\\mon4vam\\mon4vam.ini"));
        QCOMPARE(MainForm->FormLabel->text(), QString("V:\\mon4vam\\mon4vam.ini"));
        QCOMPARE(IniFileName(), std::string("V:\\mon4vam\\mon4vam.ini"));
        QCOMPARE(Form80->ToolKind, 2);
        QCOMPARE(ModemDatabasePath, std::string("V:\\mon4vam\\modems.ini"));

        MainForm->SpeedButton2->click();
        QCOMPARE(VisibleTabs(), (QStringList{"Main", "Port"}));
        QCOMPARE(IniFileName(), std::string("V:\\ed4vam\\ed4vam.ini"));
        QCOMPARE(MainForm->ToolKind, 1);
        MainForm->SpeedButton4->click();
        QCOMPARE(IniFileName(), std::string("V:\\ed4vam\\ed4qir.ini"));
        MainForm->SpeedButton1->click();
        QCOMPARE(IniFileName(), std::string("V:\\Reader\\reader.ini"));
        QCOMPARE(MainForm->ToolKind, 3);

        // The picture shows every page tab and the inspector's development markers for good.
        MainForm->PictureClick();
        QCOMPARE(VisibleTabs(), (QStringList{"Main", "Ini File", "Report", "Modem-Type", "Monitor Task",
                                             "Telefonbuch", "Port"}));
        QVERIFY(!Form5->Panel2->isHidden() && !Form5->Panel3->isHidden());
        MainForm->SpeedButton2->click();
        QVERIFY(MainForm->TabVisible(MainForm->tab_report));
    }

    void firstToolButtonLeavesAnUneditedProgramIniAlone() {
        Start();
        const std::string before = Get("ini4zav.ini");
        QVERIFY(before != TIniStore(programIni).GetText()); // the file is not in the written form
        MainForm->SpeedButton2->click();
        QCOMPARE(Get("ini4zav.ini"), before); // nothing edited: not rewritten
    }

    // Every page tab re-selects the tool file: changes held in memory reach the disk, the file is read
    // again, the viewers are hidden and the page is hosted in its panel.
    void tabSwitchWritesBackAndHostsPage() {
        Start();
        MainForm->SpeedButton3->click();
        Click("Files"); // a node without entry: nothing
        QVERIFY(!MainForm->Memo1->isVisibleTo(MainForm));
        Click("Telefon.txt");
        QCOMPARE(MainForm->PageControl1->currentWidget(), MainForm->tab_telefon);
        ToolIni().WriteString("modem", "dial", "ATDT");
        MainForm->PageControl1->setCurrentWidget(MainForm->tab_port);
        QVERIFY(Get("mon4vam/mon4vam.ini").find("dial=ATDT") != std::string::npos);
        QCOMPARE(Form8->parentWidget(), MainForm->Panel8);
        QVERIFY(Form8->isVisible());

        ToolIni().WriteString("modem", "dial", "ATDP9");
        MainForm->PageControl1->setCurrentWidget(MainForm->tab_modem);
        QVERIFY(Get("mon4vam/mon4vam.ini").find("dial=ATDP9") != std::string::npos);
        QCOMPARE(Form2->parentWidget(), MainForm->Panel5);
        QCOMPARE(ToolIni().ReadString("modem", "dial", ""), std::string("ATDP9"));

        // The file is written on each switch in the store's form; but one that another program changed
        // meanwhile, with nothing edited here, is read again instead of being overwritten.
        QCOMPARE(Get("mon4vam/mon4vam.ini"), ToolIni().GetText());
        Put("mon4vam/mon4vam.ini", MonitorIni);
        MainForm->PageControl1->setCurrentWidget(MainForm->tab_monitor);
        QCOMPARE(Get("mon4vam/mon4vam.ini"), std::string(MonitorIni));
        QCOMPARE(ToolIni().GetText(), TIniStore("V:\\mon4vam\\mon4vam.ini").GetText());
        MainForm->PageControl1->setCurrentWidget(MainForm->tab_telefon);
        QCOMPARE(MainForm->Panel3->text(), QString("V:\\mon4vam\\data\\telefon.txt"));
    }

    void toolTreeFollowsIniTree() {
        Start();
        MainForm->SpeedButton3->click();
        QCOMPARE(MainForm->TreeView1->topLevelItemCount(), 1);
        QCOMPARE(Shape(MainForm->TreeView1->topLevelItem(0)),
                 QString("Base(0)[Files(1),Help(1)[Telefon.txt(2)]]")); // key 6 after the gap is not read
        QVERIFY(MainForm->TreeView1->topLevelItem(0)->child(1)->isExpanded());

        // Without a comma the text stays and the image is 0; more than one level deeper stops the load.
        ToolIni().WriteString("ini-tree", "5", "#Readme");
        ToolIni().WriteString("ini-tree", "6", "###zu,tief");
        MainForm->PageControl1->setCurrentWidget(MainForm->tab_port); // writes it
        MainForm->PageControl1->setCurrentWidget(MainForm->tab_main);
        try {
            MainForm->Mon4VAm1Click();
            QFAIL("no error for the jump");
        } catch (const treefile::TreeLevelError& e) {
            QCOMPARE(QByteArray(e.what()), QByteArray("Ung\xFC"
                                                      "ltige Ebene (3) f\xFC"
                                                      "r Eintrag \"zu,tief\""));
        }
        // What loaded stays, without image prefixes and unexpanded.
        QCOMPARE(Shape(MainForm->TreeView1->topLevelItem(0)),
                 QString("0,Base(0)[1,Files(0),1,Help(0)[2,telefon.txt(0)],Readme(0)]"));
        QVERIFY(!MainForm->TreeView1->topLevelItem(0)->isExpanded());

        // The general handler shows the same message once for a real click.
        dlg::ClearHistory();
        QTest::mouseClick(MainForm->SpeedButton3, Qt::LeftButton);
        QCOMPARE(dlg::History().size(), std::size_t(1));
        QCOMPARE(dlg::History()[0].kind, dlg::Kind::Error);
        QVERIFY(dlg::History()[0].text.find("Ebene (3)") != std::string::npos);
    }

    void clickShowsEachViewKind() {
        Start();
        MainForm->SpeedButton2->click();
        // Text: loaded, with header and Save; $(base) in lower case resolved.
        Click("Liesmich.txt");
        QCOMPARE(MainForm->Memo1->toPlainText(), QString("Zeile 1\nZeile 2"));
        QVERIFY(MainForm->Memo1->isVisible() && MainForm->Panel16->isVisible());
        QCOMPARE(MainForm->Panel16Caption->text(), QString("V:\\ed4vam\\data\\liesmich.txt"));

        Click("Fehlt.txt");
        QCOMPARE(MainForm->Memo1->toPlainText(),
                 QString("\n\nNICHT GEFUNDEN\n\"V:\\ed4vam\\data\\fehlt.txt\""));
        QVERIFY(MainForm->Memo1->isVisible() && !MainForm->Panel16->isVisible());

        // Entries naming a directory: not found as a text, an error as a picture.
        Click("Ordner.txt");
        QCOMPARE(MainForm->Memo1->toPlainText(), QString("\n\nNICHT GEFUNDEN\n\"V:\\ed4vam\\data\""));
        QVERIFY_THROWS_EXCEPTION(plat::FileError, Click("Ordner.jpg"));
        QVERIFY(!Form11->isVisible());

        Click("Daten.xyz");
        QCOMPARE(MainForm->Memo1->toPlainText(),
                 QString("\n\nOK, aber keine Darstellung\n\"V:\\ed4vam\\daten.xyz\""));

        Click("Bild.jpg");
        QVERIFY(Form11->isVisible() && !MainForm->Memo1->isVisible());
        QCOMPARE(Form11->parentWidget(), MainForm->Panel18);
        QCOMPARE(Form11->Image1->Picture().size(), QSize(40, 20));
        QCOMPARE(Form11->windowTitle(), QString("V:\\ed4vam\\bild.jpg"));

        QVERIFY_THROWS_EXCEPTION(std::runtime_error, Click("Kaputt.jpg"));
        QVERIFY(!Form11->isVisible());

        Click("Backtree.sys");
        QVERIFY(Form10->isVisible());
        QCOMPARE(Form10->TreeView1->topLevelItem(0)->text(0), QString("Wurzel"));
        QVERIFY(Form10->TreeView1->topLevelItem(0)->child(0)->isExpanded());
        // A tree file with a jump: its message once, and the nodes before it stay on view.
        Put("ed4vam/backtree.sys", "Wurzel\r\n\tAst\r\n\t\t\tzu tief\r\n");
        QVERIFY_THROWS_EXCEPTION(treefile::TreeLevelError, Click("Backtree.sys"));
        QVERIFY(Form10->isVisible());
        QCOMPARE(Form10->TreeView1->topLevelItem(0)->child(0)->text(0), QString("Ast"));

        // An INI or .sys file goes to the inspector, which makes it the open file with kind 3; the
        // window's own tool file stays, so the next tab switch selects it again.
        Click("Sysmod.sys");
        QVERIFY(Form5->isVisible() && !Form10->isVisible());
        QCOMPARE(IniFileName(), std::string("V:\\ed4vam\\sysmod.sys"));
        QCOMPARE(Form80->ToolKind, 3);
        QCOMPARE(MainForm->CurrentToolIni, std::string("ed4vam\\ed4vam.ini"));
        QCOMPARE(MainForm->FormLabel->text(), QString("V:\\ed4vam\\sysmod.sys"));
        MainForm->PageControl1->setCurrentWidget(MainForm->tab_port);
        QCOMPARE(IniFileName(), std::string("V:\\ed4vam\\ed4vam.ini"));
        QVERIFY(!Form5->isVisible());
    }

    // The click reads the tool file as it is on disk, not the changes held in memory.
    void clickReadsFileOnDisk() {
        Start();
        MainForm->SpeedButton2->click();
        ToolIni().WriteString("FileList", "liesmich.txt", "$(BASE)\\ed4vam\\daten.xyz");
        Click("Liesmich.txt");
        QCOMPARE(MainForm->Memo1->toPlainText(), QString("Zeile 1\nZeile 2"));
    }

    void saveReplacesFileOrFailsLeavingIt() {
        Start();
        MainForm->SpeedButton2->click();
        Click("Liesmich.txt");
        MainForm->Memo1->setPlainText(QString::fromUtf8("Zeile \u00e4\nneu"));
        MainForm->SpeedButton6->click();
        QCOMPARE(Get("ed4vam/data/liesmich.txt"), std::string("Zeile \xE4\r\nneu\r\n"));

        // The text window writes to the file named by its caption.
        Form9->setWindowTitle("V:\\ed4vam\\data\\notiz.txt");
        Form9->Memo1->setPlainText("eins\nzwei");
        Form9->ToolButton1->click();
        QCOMPARE(Get("ed4vam/data/notiz.txt"), std::string("eins\r\nzwei\r\n"));

        // A target that cannot be replaced (a directory) gives a file error; nothing is damaged.
        QDir().mkpath(QString::fromStdString(root + "ed4vam/data/ordner.txt/inhalt"));
        Form9->setWindowTitle("V:\\ed4vam\\data\\ordner.txt");
        QVERIFY_THROWS_EXCEPTION(plat::FileError, Form9->ToolButton1Click());
        QVERIFY(QFileInfo(QString::fromStdString(root + "ed4vam/data/ordner.txt/inhalt")).isDir());
    }

    // A line too long to edit: shown cut and read-only, "Save" refused, the file untouched.
    void overlongLineIsShownReadOnly() {
        const std::string longLine = "kopf\r\n" + std::string(70000, 'x') + "\r\nfuss\r\n";
        Put("ed4vam/data/liesmich.txt", longLine);
        Start();
        MainForm->SpeedButton2->click();
        Click("Liesmich.txt");
        QVERIFY(MainForm->Memo1->isReadOnly());
        QVERIFY(!MainForm->SpeedButton6->isEnabled());
        QCOMPARE(MainForm->Memo1->document()->blockCount(), 3);
        QCOMPARE(MainForm->Memo1->document()->findBlockByNumber(1).length() - 1,
                 int(TMainForm::MaxEditableLine));
        MainForm->SpeedButton6Click();
        QCOMPARE(Get("ed4vam/data/liesmich.txt"), longLine);

        Put("ed4vam/data/liesmich.txt", "kurz\r\n");
        Click("Liesmich.txt");
        QVERIFY(!MainForm->Memo1->isReadOnly() && MainForm->SpeedButton6->isEnabled());
    }

    void fileSwitchWritesBeforeReopening() {
        Start();
        MainForm->SpeedButton3->click();
        ToolIni().WriteString("test", "hotspot", "1");
        Form80->OpenToolIni(2, "V:\\mon4vam\\mon4vam.ini"); // the same file: written, then read again
        QVERIFY(Get("mon4vam/mon4vam.ini").find("hotspot=1") != std::string::npos);
        QVERIFY(ini_HotSpot());
        Form80->OpenIniFile("V:\\ed4vam\\ed4vam.ini");
        QCOMPARE(Form80->ToolKind, 3);
        QCOMPARE(MainForm->FormLabel->text(), QString("V:\\ed4vam\\ed4vam.ini"));
        Form80->OpenIniFile("V:\\gibtsnicht.ini");
        QVERIFY(!ConfigOpen());
        Form80->OpenToolIni(1, "V:\\ed4vam\\ed4qir.ini"); // nothing to write back: no failure
        QVERIFY(ConfigOpen());
    }

    // Help: the tool family's help file through the desktop when it exists; otherwise the manual in the
    // program's help window, at the section of where the user is; the browser only when asked for. Info
    // keeps its box.
    void helpAndInfo() {
        std::vector<QUrl> urls;
        QUrl asked;
        shell::SetUrlHook([&](const QUrl& url) {
            asked = url;
            urls.push_back(Target(url));
            return true;
        });
        Start();
        MainForm->HelpButton->click();
        QVERIFY(help::Window() && help::Window()->isVisible());
        QCOMPARE(help::Window()->Section(), QString("hauptfenster"));
        QVERIFY(help::Window()->Browser->source().toLocalFile().endsWith("/index.html"));
        Form99->HelpButton->click();
        QCOMPARE(help::Window()->Section(), QString("seitenvorlage"));
        MainForm->Beschreibung1->trigger();
        QCOMPARE(help::Window()->Section(), QString("inhalt"));
        QVERIFY(opened.empty()); // no help file on this machine
        QVERIFY(urls.empty());   // nor the browser
        // "Im Browser öffnen": the desktop is given a forwarding page that holds the section.
        help::Window()->BrowserButton->click();
        QCOMPARE(urls.size(), std::size_t(1));
        QCOMPARE(urls[0].fragment(), QString("inhalt"));
        QVERIFY(asked.toLocalFile().endsWith("/hilfe.html"));
        QVERIFY2(QFileInfo(urls[0].toLocalFile()).isFile(), qPrintable(urls[0].toString()));
        // The "?" follows the page that is shown.
        MainForm->SpeedButton3->click();
        MainForm->PageControl1->setCurrentWidget(MainForm->tab_telefon);
        MainForm->HelpButton->click();
        QCOMPARE(help::Window()->Section(), QString("telefonbuch"));

        // Where the help file exists, the desktop opens it, as the tools' own help always was.
        plat::SetDriveMapping('C', root);
        Put("vamtools/help/ini4zav.hlp", "Hilfe");
        MainForm->HelpButton->click();
        Form99->HelpButton->click();
        QCOMPARE(opened, (std::vector<std::string>{"c:\\vamtools\\help\\ini4zav.hlp",
                                                   "c:\\vamtools\\help\\ini4zav.hlp"}));
        QCOMPARE(urls.size(), std::size_t(1));
        QCOMPARE(help::Window()->Section(), QString("telefonbuch"));

        MainForm->Info1->trigger();
        QCOMPARE(dlg::History().back().text,
                 std::string("VAM/QIR Inifile-Editor 2.01\r\n10.07.2003\r\n\r\nEinstellungs-Editor f\xFCr\r\n"
                             "Ed4vam und Mon4vam und Reader"));
        QCOMPARE(dlg::History().back().kind, dlg::Kind::Information);
        QCOMPARE(dlg::History().back().buttons, int(dlg::mbNone));
    }

    // F1 opens the help window at the section of the page or window that has the focus, also inside a menu
    // and a modal dialog (whose help window is usable and modal only while the dialog is open); when no help
    // can be shown, or the browser asked for cannot open it, the user is told why.
    void f1AndHelpThatCannotOpen() {
        std::vector<QUrl> urls;
        bool browser = true;
        shell::SetUrlHook([&](const QUrl& url) {
            urls.push_back(Target(url));
            return browser;
        });
        const auto shownSection = [] { return help::Window() ? help::Window()->Section() : QString(); };
        Start();
        MainForm->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(MainForm));
        MainForm->SpeedButton2->click();
        MainForm->TreeView1->setFocus();
        QTest::keyClick(MainForm->TreeView1, Qt::Key_F1);
        QCOMPARE(shownSection(), QString("werkzeugbaum"));
        MainForm->PageControl1->setCurrentWidget(MainForm->tab_port);
        MainForm->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(MainForm));
        Form8->setFocus();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_F1);
        QCOMPARE(shownSection(), QString("port"));
        QCOMPARE(help::Window()->windowModality(), Qt::NonModal);
        // In the modal device list the window's shortcut is blocked: its own section all the same.
        const auto run = TForm8::RunDeviceForm;
        Qt::WindowModality modalityInDialog = Qt::NonModal;
        TForm8::RunDeviceForm = [&](QDialog& d) {
            d.setWindowModality(Qt::ApplicationModal);
            d.show();
            auto* list = d.findChild<QTreeWidget*>("DeviceList");
            list->setFocus();
            if (QTest::qWaitForWindowActive(&d)) QTest::keyClick(list, Qt::Key_F1);
            if (help::Window()) modalityInDialog = help::Window()->windowModality();
            return false;
        };
        Form8->DevicesButtonClick();
        TForm8::RunDeviceForm = run;
        QCOMPARE(shownSection(), QString("geraete"));
        QCOMPARE(modalityInDialog, Qt::ApplicationModal);
        QTRY_COMPARE_WITH_TIMEOUT(help::Window()->windowModality(), Qt::NonModal, 30000);
        QVERIFY(help::Window()->isVisible());
        // Inside an open menu: the menu's help context, and the menu closes.
        MainForm->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(MainForm));
        MainForm->Info1Menu->popup(MainForm->mapToGlobal(QPoint(40, 20)));
        QTRY_VERIFY_WITH_TIMEOUT(MainForm->Info1Menu->isVisible(), 30000);
        QTest::keyClick(MainForm->Info1Menu, Qt::Key_F1);
        QCOMPARE(shownSection(), QString("menue-info"));
        QTRY_VERIFY_WITH_TIMEOUT(!MainForm->Info1Menu->isVisible(), 30000);
        QCOMPARE(help::SectionFor(MyComPort), QString("konsole"));
        QVERIFY(urls.empty()); // the browser was never needed

        dlg::ClearHistory();
        browser = false; // no program for web pages: the help window shows the manual all the same
        MainForm->Beschreibung1->trigger();
        QCOMPARE(shownSection(), QString("inhalt"));
        QVERIFY(dlg::History().empty());
        QVERIFY(!help::Window()->OpenInBrowser());
        QCOMPARE(dlg::History().size(), std::size_t(1));
        QVERIFY(dlg::History()[0].text.find("kein Programm") != std::string::npos);
        QVERIFY(dlg::History()[0].text.find("index.html") != std::string::npos);

        browser = true;
        qputenv("INI4ZAV_MANUAL", QByteArray::fromStdString(root + "gibtsnicht.html"));
        help::Window()->hide();
        MainForm->HelpButton->click();
        qunsetenv("INI4ZAV_MANUAL");
        QVERIFY(!help::Window()->isVisible());
        QCOMPARE(dlg::History().size(), std::size_t(2));
        QVERIFY(dlg::History()[1].text.find("nicht installiert") != std::string::npos);
    }

    // The help window on the manual: F1 on a page scrolls to that page's section, the pictures load, a link
    // inside the manual moves there (and back), a web address goes to the desktop, and the search field
    // finds a word, starts over at the end and says when there is none.
    void helpWindowShowsSectionsPicturesLinksAndFinds() {
        std::vector<QUrl> urls;
        bool browser = true;
        shell::SetUrlHook([&](const QUrl& url) {
            urls.push_back(url);
            return browser;
        });
        Start();
        MainForm->SpeedButton3->click();
        MainForm->PageControl1->setCurrentWidget(MainForm->tab_telefon);
        MainForm->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(MainForm));
        TelefonBuch->setFocus();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_F1);
        THelpWindow* help = help::Window();
        QVERIFY(help && help->isVisible());
        QTextBrowser* page = help->Browser;
        // The section's heading is the first line shown.
        const auto topLine = [page] { return page->cursorForPosition(QPoint(4, 4)).block().text(); };
        QTRY_COMPARE_WITH_TIMEOUT(topLine(), QString("Telefonbuch"), 30000);
        QVERIFY(page->verticalScrollBar()->value() > 0);

        // Every picture of the manual is there.
        int pictures = 0;
        int widest = 0; // as the file has it
        for (QTextBlock block = page->document()->begin(); block.isValid(); block = block.next())
            for (auto it = block.begin(); !it.atEnd(); ++it)
                if (it.fragment().charFormat().isImageFormat()) {
                    const QString name = it.fragment().charFormat().toImageFormat().name();
                    const QVariant image =
                        page->document()->resource(QTextDocument::ImageResource, QUrl(name));
                    const QSize size = image.value<QImage>().isNull() ? image.value<QPixmap>().size()
                                                                      : image.value<QImage>().size();
                    QVERIFY2(!size.isEmpty(), qPrintable(name));
                    // Screenshots wider than the window are scaled to it, as a browser does.
                    QVERIFY2(size.width() <= 860, qPrintable(name));
                    const QDir manualDir = QFileInfo(page->source().toLocalFile()).dir();
                    widest = std::max(widest, QImage(manualDir.filePath(name)).width());
                    ++pictures;
                }
        QVERIFY(pictures >= 5);
        QVERIFY(widest > 860);

        // A link to another section, back, and a web address.
        help->FollowLink(QUrl("#fehler-besetzt"));
        QCOMPARE(help->Section(), QString("fehler-besetzt"));
        QTRY_COMPARE_WITH_TIMEOUT(topLine(), QString("Besetzt, keine Verbindung"), 30000);
        QVERIFY(help->BackButton->isEnabled());
        help->BackButton->click();
        QCOMPARE(help->Section(), QString("telefonbuch"));
        QVERIFY(urls.empty());
        help->FollowLink(QUrl("https://www.debian.org/"));
        QCOMPARE(urls.size(), std::size_t(1));
        QCOMPARE(urls[0], QUrl("https://www.debian.org/"));
        QCOMPARE(help->Section(), QString("telefonbuch"));
        browser = false;
        help->FollowLink(QUrl("https://www.debian.org/"));
        QVERIFY(help->Note->text().contains("https://www.debian.org/"));

        // The search: from the shown place on, over the end to the start again, and a word that is not there.
        help->SearchEdit->setText("Pseudo-Terminal");
        QTest::keyClick(help->SearchEdit, Qt::Key_Return);
        QCOMPARE(page->textCursor().selectedText(), QString("Pseudo-Terminal"));
        const int first = page->textCursor().position();
        int wrapped = 0;
        for (int i = 0; i < 50 && wrapped == 0; ++i) {
            help->FindNextButton->click();
            QCOMPARE(page->textCursor().selectedText(), QString("Pseudo-Terminal"));
            if (page->textCursor().position() < first) wrapped = page->textCursor().position();
        }
        QVERIFY(wrapped > 0);
        QVERIFY(help->Note->text().contains("Anfang"));
        help->FindPreviousButton->click();
        QCOMPARE(page->textCursor().selectedText(), QString("Pseudo-Terminal"));
        QVERIFY(page->textCursor().position() != wrapped);
        help->SearchEdit->setText("Quergurkenhobel");
        QVERIFY(!help->Find());
        QCOMPARE(help->Note->text(), QString("\u201eQuergurkenhobel\u201c kommt im Handbuch nicht vor."));
    }

    // Started without its INI file, the window opens as always, and the status bar and one box say which
    // file was looked for, where, and how to name one.
    void startWithoutProgramIniExplainsItself() {
        Start(false);
        QVERIFY(MainForm->isVisible());
        ShowStartupNotes({"/usr/bin/ini4zav", "/i=" + programIni});
        QCOMPARE(dlg::History().size(), std::size_t(1));
        const QString box = plat::ToQ(dlg::History()[0].text);
        QVERIFY2(box.contains(Host("nichtda.ini")), qPrintable(box));
        QVERIFY(box.contains(Host("").chopped(1)));
        QVERIFY(box.contains("/i="));
        auto* note = MainForm->StatusBar1->findChild<QLabel*>("MissingIniNote");
        QVERIFY(note && note->isVisible());
        QVERIFY(note->text().contains(Host("nichtda.ini")));

        // Found: nothing to explain.
        DestroyForms();
        dlg::ClearHistory();
        Start();
        ShowStartupNotes({"/usr/bin/ini4zav", "/i=" + programIni});
        QVERIFY(dlg::History().empty());
        QVERIFY(!MainForm->StatusBar1->findChild<QLabel*>("MissingIniNote"));
    }

    // Started without a program INI, the explanation offers the family's folder: a folder that is no family
    // is refused with what it lacks, a family's INI becomes the program's own at once and its tool buttons
    // work; the choice is kept per user and opens the family at the next start without /i=, not with it.
    void choosingTheToolFamily() {
        QFile::remove(family::SettingsFile()); // below the test mode's own configuration folder
        Start(false);
        dlg::SetNextAnswer(dlg::mrYes);                 // "Werkzeugfamilie wählen …"
        dlg::SetNextAnswer(dlg::mrOK, root + "ed4vam"); // a tool folder, not the family
        ShowStartupNotes({"/usr/bin/ini4zav", "/i=" + programIni});
        QCOMPARE(dlg::History().back().caption, std::string("Keine Werkzeugfamilie"));
        QVERIFY(!MainForm->SpeedButton3->isEnabled());
        QVERIFY(family::Remembered().isEmpty());
        Put("nur-werkzeuge/mon4vam/mon4vam.ini", MonitorIni);
        QVERIFY(plat::ToQ(family::Problem(QString::fromStdString(root + "nur-werkzeuge"), "ini4zav.ini"))
                    .contains("nicht die eigene INI-Datei ini4zav.ini"));

        // A port open on the old family's mapping is closed, and the console says why.
        plat::SetComDevice(5, "sim:family-change");
        QVERIFY(MyComPort->OpenPort(5));
        dlg::SetNextAnswer(dlg::mrOK, root);
        QVERIFY(MainForm->Familie1Click());
        QVERIFY(!MyComPort->SxComPort1.Open());
        QCOMPARE(MyComPort->Nachricht->text(), QString("Port geschlossen: andere Werkzeugfamilie gew\u00e4hlt"));
        QCOMPARE(ProgramIniFileName(), IniFileName());
        QCOMPARE(HostOfTool(ProgramIniFileName()), Host("ini4zav.ini"));
        QCOMPARE(MainForm->ToolRoot, std::string("V:\\"));
        QVERIFY(MainForm->SpeedButton3->isEnabled());
        QTRY_VERIFY(!MainForm->StatusBar1->findChild<QLabel*>("MissingIniNote"));
        MainForm->Mon4VAm1Click();
        QCOMPARE(HostOfTool(IniFileName()), Host("mon4vam/mon4vam.ini"));
        QCOMPARE(VisibleTabs(), (QStringList{"Main", "Modem-Type", "Monitor Task", "Telefonbuch", "Port"}));

        DestroyForms();
        ShutdownConfiguration();
        plat::ClearDriveMappings();
        const std::vector<std::string> plain{"/opt/ini4zav/ini4zav"};
        StartConfiguration(plain, family::StartIni(plain));
        QCOMPARE(HostOfTool(ProgramIniFileName()), Host("ini4zav.ini"));
        ShutdownConfiguration();
        const std::vector<std::string> named{"/opt/ini4zav/ini4zav", "/i=" + programIni};
        StartConfiguration(named, family::StartIni(named));
        QVERIFY(ProgramIniFileName().empty());
        QVERIFY(!plat::ToQ(desktop::MissingProgramIniText(named)).contains("zuletzt")); // not tried with /i=

        // The start-menu entry starts in a folder with an example copy of the program's INI file: the family
        // chosen wins over that copy, and /i= wins over both.
        ShutdownConfiguration();
        Put("beispiel/ini4zav.ini", "[files]\r\nbase=B:\r\n");
        const QString before = QDir::currentPath();
        QVERIFY(QDir::setCurrent(QString::fromStdString(root + "beispiel")));
        StartConfiguration(plain, family::StartIni(plain));
        const std::string started = ProgramIniFileName();
        ShutdownConfiguration();
        const std::vector<std::string> other{"/opt/ini4zav/ini4zav",
                                             "/i=" + plat::FromHostPath(root + "b.ini")};
        Put("b.ini", "[files]\r\nbase=B:\r\n");
        StartConfiguration(other, family::StartIni(other));
        const std::string named2 = ProgramIniFileName();
        ShutdownConfiguration();
        QVERIFY(QDir::setCurrent(before));
        QCOMPARE(HostOfTool(started), Host("ini4zav.ini"));
        QCOMPARE(HostOfTool(named2), Host("b.ini"));

        // The family remembered is gone (deleted, its stick not plugged in): the start says which one it was,
        // and another one is chosen from the same box.
        ShutdownConfiguration();
        family::Remember(QString::fromStdString(root + "weg"));
        StartConfiguration(plain, family::StartIni(plain));
        CreateForms();
        dlg::ClearHistory();
        dlg::SetNextAnswer(dlg::mrYes);
        dlg::SetNextAnswer(dlg::mrOK, root);
        ShowStartupNotes(plain);
        const QString gone =
            QString("Die zuletzt gew\u00e4hlte Werkzeugfamilie \u201e%1\u201c ist nicht mehr vorhanden")
                .arg(QDir::toNativeSeparators(QString::fromStdString(root + "weg")));
        QVERIFY2(plat::ToQ(dlg::History().at(0).text).contains(gone), dlg::History().at(0).text.c_str());
        QCOMPARE(HostOfTool(ProgramIniFileName()), Host("ini4zav.ini"));
        QCOMPARE(family::Remembered(), QDir(QString::fromStdString(root)).absolutePath());
        QVERIFY(QFile::remove(family::SettingsFile()));
    }

    // The file of the remembered choice is small and holds one folder name: an oversized file, an overlong
    // name or a pipe in its place is no choice (and costs the start nothing); the next choice replaces it.
    void rememberedChoiceHasLimits() {
        const QString file = family::SettingsFile();
        QDir().mkpath(QFileInfo(file).path());
        const std::vector<std::string> plain{"/opt/ini4zav/ini4zav"};
        auto put = [&](const QByteArray& bytes) {
            QFile::remove(file);
            QFile f(file);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(bytes);
        };
        put("[familie]\nordner=" + QByteArray(300000, 'x') + "\n");
        QVERIFY(family::Remembered().isEmpty());
        QVERIFY(family::LostNote(plain).empty());
        put("[familie]\nordner=" + QByteArray::fromStdString(root) + "\n" + QByteArray(100000, ';') + "\n");
        QVERIFY(family::Remembered().isEmpty());
        QFile::remove(file);
#ifndef _WIN32 // a pipe in the file's place is POSIX's
        QCOMPARE(::mkfifo(QFile::encodeName(file).constData(), 0600), 0);
        QVERIFY(family::Remembered().isEmpty());
#endif
        family::Remember(QString::fromStdString(root));
        QCOMPARE(family::Remembered(), QDir(QString::fromStdString(root)).absolutePath());
        QVERIFY(QFile::remove(file));
    }

    // A family in a folder with umlauts whose files hold German texts in cp1252, among them files with
    // umlauts in their names: opened from its UTF-8 host name, the texts show as they are, the tooltip names
    // the folder, and the edits go back to disk in cp1252, byte for byte.
    void familyInAFolderWithUmlauts() {
        root += "Pr\u00fcfstand S\u00fcd/";
        Put("ini4zav.ini", "[files]\r\nbase=V:\r\n[drives]\r\nV=.\r\n");
        const std::string comment = "; Einstellungen f\xFCr den Pr\xFC"
                                    "fstand S\xFC"
                                    "d\r\n";
        Put("ed4vam/ed4vam.ini", comment + "[files]\r\nbase=V:\r\n[ini-tree]\r\n1=0,Fehlerb\xE4ume\r\n"
                                           "2=#5,T\xFCrtree.sys\r\n3=#2,\xDC"
                                           "bergabe.txt\r\n[FileList]\r\n"
                                           "T\xFCrtree.sys=$(BASE)\\ed4vam\\T\xFCrtree.sys\r\n"
                                           "\xDC"
                                           "bergabe.txt=$(BASE)\\\xDC"
                                           "bergabe S\xFC"
                                           "d.txt\r\n");
        Put("ed4vam/T\u00fcrtree.sys", "Hauptmen\xFC\r\n\tEing\xE4nge\r\n");
        Put("\u00dcbergabe S\u00fcd.txt", "Gr\xFC\xDF"
                                          "e\r\n");
        Start();
        MainForm->SpeedButton2->click();
        QCOMPARE(HostOfTool(IniFileName()), Host("ed4vam/ed4vam.ini"));
        QCOMPARE(desktop::HostPathTooltip(MainForm->FormLabel->text()),
                 "Auf diesem Rechner: " + Host("ed4vam/ed4vam.ini"));
        QCOMPARE(Shape(MainForm->TreeView1->topLevelItem(0)),
                 QString("Fehlerb\u00e4ume(0)[T\u00fcrtree.sys(5),\u00dc"
                         "bergabe.txt(2)]"));
        Click("T\u00fcrtree.sys");
        QCOMPARE(Form10->TreeView1->topLevelItemCount(), 1);
        QCOMPARE(Form10->TreeView1->topLevelItem(0)->text(0), QString("Hauptmen\u00fc"));
        QCOMPARE(Form10->TreeView1->topLevelItem(0)->child(0)->text(0), QString("Eing\u00e4nge"));
        Click("\u00dc"
              "bergabe.txt");
        QCOMPARE(MainForm->Memo1->toPlainText(), QString("Gr\u00fc\u00df"
                                                         "e"));
        MainForm->Memo1->appendPlainText("\u00c4nderung S\u00fcd");
        MainForm->SpeedButton6->click();
        QCOMPARE(Get("\u00dcbergabe S\u00fcd.txt"), std::string("Gr\xFC\xDF"
                                                                "e\r\n\xC4nderung S\xFC"
                                                                "d\r\n"));
        ToolIni().WriteString("machine", "type",
                              "S\xFC"
                              "d");
        ReleaseToolIni();
        const std::string written = Get("ed4vam/ed4vam.ini");
        QVERIFY2(written.rfind(comment + "[files]\r\n", 0) == 0, written.c_str());
        QVERIFY(written.find("[machine]\r\ntype=S\xFC"
                             "d\r\n") != std::string::npos);
    }

    // The header and the root line show tool paths; their tooltips tell where that is on this machine.
    void toolPathsShowTheirHostPath() {
        Start();
        MainForm->SpeedButton2->click();
        for (QLabel* label : {MainForm->FormLabel, MainForm->label3}) {
            QHelpEvent tip(QEvent::ToolTip, QPoint(2, 2), label->mapToGlobal(QPoint(2, 2)));
            QApplication::sendEvent(label, &tip);
            QCOMPARE(QToolTip::text(), desktop::HostPathTooltip(label->text()));
        }
        QCOMPARE(desktop::HostPathTooltip(MainForm->FormLabel->text()),
                 "Auf diesem Rechner: " + Host("ed4vam/ed4vam.ini"));
    }

    // Enter and a double-click on a node do what a click does; after a build the keyboard has a node.
    // A hidden tab is out of reach of every key on the tab bar (arrows, Home/End, Ctrl+Tab, Ctrl+Shift+Tab,
    // Ctrl+PgUp/PgDn), of the wheel and clicks over the bar, and of a program step that asks for it; also
    // after a tool switch hid tabs that were shown. Tab reaches every visible control and nothing else.
    void keysAndMouseReachTheVisibleTabsAndControlsOnly() {
        Start();
        QTabWidget* tabs = MainForm->PageControl1;
        QTabBar* bar = tabs->tabBar();
        MainForm->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(MainForm));
        const Qt::KeyboardModifiers ctrl = Qt::ControlModifier;
        const QKeyCombination keys[] = {Qt::Key_Left, Qt::Key_Right, Qt::Key_Home, Qt::Key_End, ctrl | Qt::Key_Tab,
                                        ctrl | Qt::ShiftModifier | Qt::Key_Backtab, ctrl | Qt::Key_PageUp,
                                        ctrl | Qt::Key_PageDown};
        QStringList reached;
        auto note = [&](const QString& how) {
            if (!MainForm->TabVisible(tabs->currentWidget()))
                reached << how + " -> " + tabs->tabText(tabs->currentIndex());
        };
        auto tryEverything = [&] {
            for (QKeyCombination key : keys)
                for (int i = 0; i < tabs->count(); ++i) {
                    bar->setFocus();
                    QTest::keyClick(bar, key.key(), key.keyboardModifiers());
                    note(QKeySequence(key).toString());
                }
            for (int delta : {-120, 120})
                for (int i = 0; i < tabs->count(); ++i) {
                    QWheelEvent wheel(QPointF(5, 5), bar->mapToGlobal(QPointF(5, 5)), {}, {0, delta}, Qt::NoButton,
                                      Qt::NoModifier, Qt::NoScrollPhase, false);
                    QApplication::sendEvent(bar, &wheel);
                    note(QStringLiteral("wheel"));
                }
            for (int x = 2; x < bar->width(); x += 10) {
                QTest::mouseClick(bar, Qt::LeftButton, {}, QPoint(x, bar->height() / 2));
                note(QStringLiteral("click"));
            }
            for (QWidget* tab : {MainForm->tab_inifile, MainForm->tab_report, MainForm->tab_modem})
                if (!MainForm->TabVisible(tab)) {
                    tabs->setCurrentWidget(tab);
                    note(QStringLiteral("program"));
                }
        };
        tryEverything();
        MainForm->SpeedButton3->click(); // Mon4VAm: five tabs
        tryEverything();
        MainForm->PageControl1->setCurrentWidget(MainForm->tab_main);
        MainForm->SpeedButton2->click(); // Ed4VAm: Main and Port
        tryEverything();
        reached.removeDuplicates();
        QVERIFY2(reached.isEmpty(), qPrintable(reached.join(", ")));

        // Tab alone reaches every visible control that takes the focus on each shown page, and nothing hidden,
        // disabled or on another page; a page never holds the focus for more than a round.
        MainForm->PageControl1->setCurrentWidget(MainForm->tab_main);
        MainForm->SpeedButton3->click();
        for (QWidget* tab : {MainForm->tab_main, MainForm->tab_modem, MainForm->tab_monitor, MainForm->tab_telefon,
                             MainForm->tab_port}) {
            MainForm->PageControl1->setCurrentWidget(tab);
            QList<QWidget*> expected;
            for (QWidget* w : MainForm->findChildren<QWidget*>())
                if (w->isVisible() && w->isEnabled() && (w->focusPolicy() & Qt::TabFocus) && !w->focusProxy())
                    expected << w;
            QSet<QWidget*> focused;
            MainForm->PageControl1->tabBar()->setFocus(Qt::TabFocusReason);
            for (int i = 0; i < 2 * expected.size(); ++i) {
                QWidget* focus = QApplication::focusWidget();
                QVERIFY2(focus && focus->isVisible() && focus->isEnabled(),
                         qPrintable(tab->objectName() + ": " + (focus ? focus->objectName() : "-")));
                focused << focus;
                QTest::keyClick(focus, Qt::Key_Tab);
            }
            for (QWidget* w : expected)
                QVERIFY2(focused.contains(w), qPrintable(tab->objectName() + ": " + w->objectName() + " " +
                                                         w->metaObject()->className()));
        }
    }

    void keyboardAndDoubleClickOpenNodes() {
        Start();
        MainForm->SpeedButton2->click();
        QVERIFY(MainForm->TreeView1->currentItem());
        MainForm->TreeView1->setCurrentItem(FindNode(MainForm->TreeView1, "Liesmich.txt"));
        QTest::keyClick(MainForm->TreeView1, Qt::Key_Return);
        QCOMPARE(MainForm->Memo1->toPlainText(), QString("Zeile 1\nZeile 2"));
        QTreeWidgetItem* other = FindNode(MainForm->TreeView1, "Daten.xyz");
        MainForm->TreeView1->setCurrentItem(other);
        emit MainForm->TreeView1->itemDoubleClicked(other, 0);
        QVERIFY(MainForm->Memo1->toPlainText().contains("OK, aber keine Darstellung"));
    }

    // The text window asks the same when it is on view with a changed text; Nein hides it.
    void textWindowAsksToo() {
        Start();
        MainForm->SpeedButton2->click();
        Form9->setWindowTitle("V:\\ed4vam\\data\\notiz.txt");
        MainForm->PlaceViewer(Form9);
        QTest::keyClicks(Form9->Memo1, "neu");
        dlg::SetNextAnswer(dlg::mrYes);
        MainForm->SpeedButton3->click();
        QCOMPARE(dlg::History().back().text, std::string("\xC4nderungen an V:\\ed4vam\\data\\notiz.txt speichern?"));
        QCOMPARE(Get("ed4vam/data/notiz.txt"), std::string("neuMemo1\r\n"));

        QTest::keyClicks(Form9->Memo1, "x");
        dlg::SetNextAnswer(dlg::mrNo);
        QVERIFY(MainForm->ConfirmLeaveText());
        QVERIFY(!Form9->isVisible());
        QCOMPARE(Get("ed4vam/data/notiz.txt"), std::string("neuMemo1\r\n"));
    }

    // Every way of leaving a changed text asks before the text is lost: Ja saves, Nein drops, Abbrechen
    // stays where the user was; a save that fails stays as well.
    void changedTextAsksBeforeItIsLeft_data() {
        QTest::addColumn<QString>("way");
        QTest::addColumn<int>("answer");
        QTest::addColumn<bool>("saveFails");
        for (const char* way : {"node", "tool", "tab", "Beenden", "close"})
            for (auto [name, answer] :
                 {std::pair{"Ja", int(dlg::mrYes)}, {"Nein", int(dlg::mrNo)}, {"Abbrechen", int(dlg::mrCancel)}})
                QTest::newRow(qPrintable(QString("%1/%2").arg(way, name))) << QString(way) << answer << false;
        QTest::newRow("node/Ja, Speichern scheitert") << QString("node") << int(dlg::mrYes) << true;
        QTest::newRow("close/Ja, Speichern scheitert") << QString("close") << int(dlg::mrYes) << true;
    }
    void changedTextAsksBeforeItIsLeft() {
        QFETCH(QString, way);
        QFETCH(int, answer);
        QFETCH(bool, saveFails);
        Start();
        MainForm->SpeedButton2->click();
        Click("Liesmich.txt");
        const std::string original = Get("ed4vam/data/liesmich.txt");
        MainForm->Memo1->moveCursor(QTextCursor::End);
        QTest::keyClicks(MainForm->Memo1, " neu");
        if (saveFails) { // the file became a directory: it cannot be replaced
            std::filesystem::remove(root + "ed4vam/data/liesmich.txt");
            std::filesystem::create_directories(root + "ed4vam/data/liesmich.txt/x");
        }
        dlg::ClearHistory();
        dlg::SetNextAnswer(answer);

        bool left = false;
        if (way == "node") {
            Click("Fehlt.txt");
            left = MainForm->TreeView1->currentItem()->text(0) == "Fehlt.txt";
        } else if (way == "tool") {
            MainForm->SpeedButton3->click();
            left = MainForm->CurrentToolIni == "mon4vam\\mon4vam.ini";
        } else if (way == "tab") {
            MainForm->PageControl1->setCurrentWidget(MainForm->tab_port);
            left = MainForm->PageControl1->currentWidget() == MainForm->tab_port;
        } else {
            // The program ends only when the message loop ends with the action; otherwise the loop goes
            // on and the next event ends it with 5.
            QTimer::singleShot(0, MainForm, [way] {
                if (way == "Beenden")
                    MainForm->Beenden1->trigger();
                else
                    MainForm->close();
                QTimer::singleShot(0, [] { QCoreApplication::exit(5); });
            });
            left = QCoreApplication::exec() == 0;
            MainForm->show();
        }

        QVERIFY(!dlg::History().empty());
        QCOMPARE(dlg::History()[0].text, std::string("\xC4nderungen an V:\\ed4vam\\data\\liesmich.txt speichern?"));
        QCOMPARE(dlg::History()[0].buttons, int(dlg::mbYes | dlg::mbNo | dlg::mbCancel));
        if (saveFails) {
            QVERIFY(!left);
            QCOMPARE(dlg::History().back().kind, dlg::Kind::Error);
            QVERIFY(MainForm->Memo1->document()->isModified()); // the edit is still there
            return;
        }
        QCOMPARE(dlg::History().size(), std::size_t(1)); // asked once
        QCOMPARE(left, answer != dlg::mrCancel);
        const std::string edited = "Zeile 1\r\nZeile 2 neu\r\n";
        QCOMPARE(Get("ed4vam/data/liesmich.txt"), answer == dlg::mrYes ? edited : original);
        if (answer == dlg::mrCancel) {
            QCOMPARE(MainForm->Memo1->toPlainText(), QString("Zeile 1\nZeile 2 neu"));
            QVERIFY(MainForm->Memo1->isVisibleTo(MainForm));
            QCOMPARE(MainForm->TreeView1->currentItem()->text(0), QString("Liesmich.txt"));
            QCOMPARE(MainForm->CurrentToolIni, std::string("ed4vam\\ed4vam.ini"));
        } else {
            // Nothing is asked a second time.
            dlg::ClearHistory();
            QVERIFY(MainForm->ConfirmLeaveText());
            QVERIFY(dlg::History().empty());
        }
    }

    // "Beenden" halts the console: the stop request is set before its shut-down runs, whether the
    // console's ShutDown takes the (unused) exit code or nothing.
    void exitHaltsTheConsole() {
        struct WithCode {
            bool Closing = false;
            std::vector<bool> closingAtShutDown;
            void ShutDown(int) { closingAtShutDown.push_back(Closing); }
        };
        struct WithoutCode {
            bool Closing = false;
            std::vector<bool> closingAtShutDown;
            void ShutDown() { closingAtShutDown.push_back(Closing); }
        };
        WithCode a;
        WithoutCode b;
        HaltConsole(&a);
        HaltConsole(&b);
        HaltConsole(static_cast<WithCode*>(nullptr));
        QCOMPARE(a.closingAtShutDown, std::vector<bool>{true});
        QCOMPARE(b.closingAtShutDown, std::vector<bool>{true});
    }

    // "Beenden" and the close box end the message loop; the configuration shutdown then writes the
    // open file back.
    void endingWritesBack() {
        Start();
        MainForm->SpeedButton2->click();
        for (int viaMenu = 0; viaMenu < 2; ++viaMenu) {
            QTimer::singleShot(0, MainForm, [viaMenu] {
                if (viaMenu)
                    MainForm->Beenden1->trigger();
                else
                    MainForm->close();
            });
            QCOMPARE(QCoreApplication::exec(), 0);
            MainForm->show();
        }
        ToolIni().WriteString("comport", "port", "2");
        EndConfiguration();
        QVERIFY(Get("ed4vam/ed4vam.ini").find("port=2") != std::string::npos);
        QVERIFY(dlg::History().empty());
    }

    // An open file that cannot be written at the end is not dropped without a word: the user is told.
    void endingTellsWhenTheFileCannotBeWritten() {
        Start();
        MainForm->SpeedButton2->click();
        ToolIni().WriteString("comport", "port", "2");
        std::filesystem::remove_all(root + "ed4vam");
        EndConfiguration();
        QVERIFY(!ConfigOpen());
        QCOMPARE(dlg::History().size(), std::size_t(1));
        QCOMPARE(dlg::History().back().kind, dlg::Kind::Error);
        QVERIFY(dlg::History().back().text.find("ed4vam.ini") != std::string::npos);
    }
};

int main(int argc, char** argv) {
    QStandardPaths::setTestModeEnabled(true); // the help's forwarding page goes to a test cache folder
    TApplication app(argc, argv);
    TApplication::setQuitOnLastWindowClosed(false);
    TestMainWindow test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_MainWindow.moc"
