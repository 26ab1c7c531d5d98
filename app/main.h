#pragma once
// The main window: the header, the tool buttons, the tabs that host the settings pages, the tool tree
// with its file views, and the menu.

#include "platform/FileGuard.h"
#include <QEventLoop>
#include <QIcon>
#include <QLabel>
#include <QMainWindow>
#include <QTimer>
#include <QVector>

#include <string>

class QAction;
class QFrame;
class QLabel;
class QMenu;
class QPlainTextEdit;
class QSplitter;
class QStatusBar;
class QTabWidget;
class QToolBar;
class QToolButton;
class QTreeWidget;
class QTreeWidgetItem;
class QVBoxLayout;

// A label that reports clicks (the header picture).
class TClickImage : public QLabel {
    Q_OBJECT
public:
    using QLabel::QLabel;
signals:
    void Clicked();

protected:
    void mousePressEvent(QMouseEvent* event) override;
};

class TMainForm : public QMainWindow {
    Q_OBJECT
public:
    explicit TMainForm(QWidget* parent = nullptr);

    // --- state ---------------------------------------------------------------------------------------------
    std::string ToolRoot;           // tool-family root with one trailing "\"
    std::string CurrentToolIni;     // selected tool INI relative to ToolRoot; empty before a tool button
    int ToolKind = 0;               // 0 none, 1 editor, 2 monitor, 3 reader or decoder
    std::string CurrentToolIniPath; // ToolRoot + CurrentToolIni
    std::string HelpFile;           // the window's own help file
    // Longest line the text view edits; a file with a longer line is shown cut and read-only.
    static constexpr std::size_t MaxEditableLine = 65536;
    // The file in the text view as it was loaded: what "Save" measures changes on disk and here against.
    std::string TextViewPath;
    plat::FileStamp TextViewStamp;
    QString TextViewText;
    // Shows a text file's bytes in the text view (cut and read-only when a line is too long to edit).
    void ShowTextFile(const std::string& path, const std::string& bytes);

    // --- header, menu, status ------------------------------------------------------------------------------
    TClickImage* Picture;
    QLabel* FormLabel;
    QFrame* Strich;
    QToolButton* HelpButton;
    QMenu* Datei1;
    QAction* Familie1; // "Werkzeugfamilie wählen …"
    QAction* Beenden1;
    QMenu* Info1Menu;
    QAction* Info1;
    QAction* Beschreibung1;
    QStatusBar* StatusBar1;

    QWidget* Panel1; // the client panel below the menu: header and page control

    // --- tabs and their host panels -----------------------------------------------------------------------
    QTabWidget* PageControl1;
    QWidget* tab_main;
    QWidget* tab_inifile;
    QWidget* tab_report;
    QWidget* tab_modem;
    QWidget* tab_monitor;
    QWidget* tab_telefon;
    QWidget* tab_port;
    QWidget* Panel11; // Ini File (left empty)
    QWidget* Panel4;  // Report
    QWidget* Panel5;  // Modem-Type
    QWidget* Panel7;  // Monitor Task
    QLabel* Panel3;   // Telefonbuch: the phone book file name
    QWidget* Panel9;  // Telefonbuch
    QWidget* Panel8;  // Port

    // --- the Main tab
    // ---------------------------------------------------------------------------------------
    QToolBar* ToolBar1;
    QToolButton* SpeedButton2; // Ed4VAm
    QToolButton* SpeedButton4; // Ed4QIr
    QToolButton* SpeedButton3; // Mon4VAm
    QToolButton* SpeedButton1; // Reader
    QToolButton* SpeedButton5; // Decoder
    QLabel* label3;            // shows ToolRoot
    QSplitter* Splitter1;
    QTreeWidget* TreeView1;
    QVector<QIcon> ImageList1; // tree images 0..9
    QWidget* Panel18;          // the view area
    QFrame* Panel16;           // header of the text view
    QLabel* Panel16Caption;    // the path of the file in the text view
    QToolButton* SpeedButton6; // "Save"
    QPlainTextEdit* Memo1;

    // --- operations
    // -----------------------------------------------------------------------------------------
    void FormCreate();
    void SetToolRoot(const std::string& dir);
    void ShowStartTabs();
    void ShowToolTabs(int kind);
    // False when the open file could not be written back and the user kept it open: nothing changed.
    bool SelectToolIni(int kind, const std::string& relPath);
    void HideViewers();
    // True when the tool's INI file is the open configuration afterwards (also when a refused write-back
    // kept that same file open with its edits).
    bool ReselectToolIni();
    // Builds the tool tree from the open tool INI's [ini-tree] section.
    void BuildToolTree();
    // Loads a tree file into the tool tree, applies the image prefixes and expands everything.
    void LoadToolTree(const std::string& fileName);
    // View kind of a node by its extension (with dot, lower case): 1 text, 2 picture, 3 settings, 0 other.
    static int ClassifyNodeFile(const std::string& extension);
    // Places a viewer form into the view area, filling it, and shows it.
    void PlaceViewer(QWidget* form);
    // Makes a page form a borderless child filling host, and shows it.
    static void HostPage(QWidget* page, QWidget* host);
    // A page tab's show: re-select the tool INI file, load the page, host it in the tab's panel.
    template <class Page> void ShowPage(Page* page, QWidget* host) {
        if (!ReselectToolIni() || !page) return;
        page->LoadSettings();
        HostPage(page, host);
    }
    bool TabVisible(QWidget* tab) const;

    // Before the text view's file is left (another node, tool, tab, "Beenden", the close box): when its
    // text was changed, asks "Änderungen an … speichern?" (Ja / Nein / Abbrechen). Ja saves, Nein drops the
    // changes (the view is cleared), Abbrechen or a failed save keeps everything: the result is then false
    // and the caller stays where it was.
    bool ConfirmLeaveText();
    // The text view holds a file whose text was changed and not saved.
    bool TextChanged() const;
    // The manual section of the page the user is on (the shown tab).
    QString CurrentHelpSection() const;

public slots:
    void Ed4VAm1Click();
    void Ed4QIr1Click();
    void Mon4VAm1Click();
    void SpeedButton1Click();
    void SpeedButton5Click();
    void tab_modemShow();
    void tab_monitorShow();
    void tab_reportShow();
    void tab_portShow();
    void tab_telefonShow();
    void tab_inifileShow();
    void HelpButtonClick();
    void Beschreibung1Click();
    void Info1Click();
    void Beenden1Click();
    // Asks for the tool family's folder; when it is one, makes its INI file the program's own, remembers the
    // choice for the next start and shows the family's tool buttons. False when nothing changed.
    bool Familie1Click();
    // Opens the tool family in the folder dir (host path) as Familie1Click does after its question; a
    // folder that is no family is refused with what it lacks. False when nothing changed.
    bool OpenFamily(const QString& dir);
    void PictureClick();
    void TreeView1Click();
    void SpeedButton6Click();

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void PageControl1Change(int index);
    void SetTabVisible(QWidget* tab, bool visible);
    // Makes tab the current page again without running its show handler.
    void ReturnToTab(QWidget* tab);
    void ShowTextNotice(const std::string& notice, const std::string& path);
    // Image prefixes ("3,Daten": image 3, text "Daten") for every node, then the whole tree expanded.
    void ApplyImagePrefixes();
    // Clears the text view and its header (nothing of a file left in it).
    void ClearTextView();
    // A tool button: leaves the text view first (see ConfirmLeaveText).
    bool LeaveTextForTool();
    bool SuppressTabShow = false;
    QWidget* LastTab = nullptr;           // the tab shown before the current one
    QTreeWidgetItem* TextNode = nullptr; // the node whose file the text view shows
};

extern TMainForm* MainForm;

// The orderly halt of the port test console on "Beenden": its stop request (Closing), 100 ms for what is
// under way, then its shut-down sequence (hang-up, port closed). The console's ShutDown takes an exit
// code that it does not use; one without a parameter is accepted too. Compiled in when the console
// offers these operations.
template <class Console> void HaltConsole(Console* console) {
    constexpr bool withCode = requires(Console & c, int code) {
        c.Closing = true;
        c.ShutDown(code);
    };
    constexpr bool withoutCode = requires(Console & c) {
        c.Closing = true;
        c.ShutDown();
    };
    if constexpr (withCode || withoutCode) {
        if (!console) return;
        console->Closing = true;
        QEventLoop wait;
        QTimer::singleShot(100, &wait, &QEventLoop::quit);
        wait.exec(QEventLoop::ExcludeUserInputEvents);
        if constexpr (withCode) {
            const int unusedCode = 0; // a variable, not a literal 0 that could pass as a null pointer
            console->ShutDown(unusedCode);
        } else {
            console->ShutDown();
        }
    }
}
