// The INI inspector, driven through the real form offscreen, on a prepared tool family in a temporary
// directory that drive V: maps to.

#include "config/IniStore.h"
#include "config/Reports.h"
#include "config/ed_ini.h"
#include "pages/Dialogs.h"
#include "pages/Unit5.h"
#include "pages/unit80.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/qt/QtText.h"

#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>
#include <QToolButton>

#include <memory>
#include <string>
#include <vector>

Q_DECLARE_METATYPE(std::vector<std::string>)

namespace {

const char* const kMonIni = "V:\\mon4vam\\mon4vam.ini";

// The monitor tool's INI file: every value the resolver test prints differs from its default.
const char* const kMonIniText = "[files]\r\n"
                                "base=V:\r\n"
                                "DataDir=$(BASE)\\data\r\n"
                                "SystemDir=$(base)\\system\r\n"
                                "helpdir=$(BASE)\\help\r\n"
                                "DokuDir=$(BASE)\\doku\r\n"
                                "DebugDir=$(BASE)\\debug\r\n"
                                "FilesDir=$(BASE)\\files\r\n"
                                "ExpFilesDir=$(BASE)\\export\r\n"
                                "BilderDir=$(BASE)\\bilder\r\n"
                                "helpfile=mon4vam.hlp\r\n"
                                "DefaultFile=default.zws\r\n"
                                "TreeFile=backtree.sys\r\n"
                                "telefonbuch=telefon.txt\r\n"
                                "symfile=C:\\sym\\vam.sym\r\n"
                                "language=deutsch.lng\r\n"
                                "Fehler=fehler.txt\r\n"
                                "[machine]\r\n"
                                "type=vam\r\n"
                                "[modem]\r\n"
                                "dial=ATDT\r\n"
                                "modem=TRUE\r\n"
                                "[comport]\r\n"
                                "port=70000\r\n"
                                "[TEST]\r\n"
                                "muxset=force\r\n"
                                "rpf401x=TRUE\r\n"
                                "hotspot=1\r\n"
                                "backtree=0\r\n"
                                "[logfiles]\r\n"
                                "mainlogfile=$(BASE)\\log\\mon4vam.log\r\n"
                                "reports=000000000000000000000\r\n"
                                "logonfile=$(BASE)\\log\\logon.log\r\n"
                                "[ID]\r\n"
                                "name=Anlage 7\r\n"
                                "link=V:\\data\\extra.ini\r\n"
                                "[FileList]\r\n"
                                "extra.ini=$(BASE)\\data\\extra.ini\r\n"
                                "formula=a=b=c\r\n"
                                "[alpha]\r\n"
                                "x=1\r\n"
                                "[alpha]\r\n"
                                "x=2\r\n";

const char* const kExtraIniText = "[Zeta]\r\n"
                                  "z=26\r\n"
                                  "[V:\\data\\other.ini]\r\n"
                                  "k=v\r\n";

const char* const kOtherIniText = "[other]\r\nq=$(BASE)\\q\r\n";

void WriteTool(const std::string& toolPath, const std::string& text) {
    plat::WriteFileAtomic(toolPath, text);
}

QStringList Lines(const QString& text) {
    return text.split(QLatin1Char('\n'));
}

} // namespace

class InspectorTest : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<TForm80> switcher_;
    std::unique_ptr<TForm5> form_;

    QString MemoText() {
        // A large text goes into the memo between events; wait until it is complete.
        if (!QTest::qWaitFor([&] { return !form_->MemoLoading(); }, 60000))
            return QStringLiteral("<still loading>");
        return form_->inifile_memo->toPlainText();
    }
    QColor MemoColour() const { return form_->inifile_memo->palette().color(QPalette::Base); }
    QStringList ListItems() const {
        QStringList items;
        for (int i = 0; i < form_->IniListBox->count(); ++i)
            items << form_->IniListBox->item(i)->text();
        return items;
    }
    void ClickItem(const QString& text) {
        const auto found = form_->IniListBox->findItems(text, Qt::MatchExactly);
        QVERIFY(!found.isEmpty());
        QTest::mouseClick(form_->IniListBox->viewport(), Qt::LeftButton, {},
                          form_->IniListBox->visualItemRect(found.first()).center());
    }
    // Double-clicks the memo in the middle of the first occurrence of word.
    void DoubleClickWord(const QString& word) {
        QTextCursor at = form_->inifile_memo->document()->find(word);
        QVERIFY2(!at.isNull(), qPrintable(word));
        at.setPosition(at.selectionStart() + static_cast<int>(word.size() / 2));
        const QPoint p = form_->inifile_memo->cursorRect(at).center();
        QTest::mouseDClick(form_->inifile_memo->viewport(), Qt::LeftButton, {}, p);
    }
    std::string Disk(const std::string& toolPath) { return plat::ReadFileBytes(toolPath); }

private slots:
    void init() {
        dir_ = std::make_unique<QTemporaryDir>();
        QVERIFY(dir_->isValid());
        plat::SetDriveMapping('V', dir_->path().toStdString());
        for (const char* d : {"mon4vam", "data", "system", "log"})
            QVERIFY(QDir(dir_->path()).mkpath(d));
        WriteTool(kMonIni, kMonIniText);
        WriteTool("V:\\data\\extra.ini", kExtraIniText);
        WriteTool("V:\\data\\other.ini", kOtherIniText);
        WriteTool("V:\\system\\deutsch.lng", "[main]\r\ntext9=Panel-Bericht\r\n");
        dlg::ClearHistory();

        switcher_ = std::make_unique<TForm80>();
        Form80 = switcher_.get();
        form_ = std::make_unique<TForm5>();
        Form5 = form_.get();
        Form80->OpenToolIni(2, kMonIni);
        QVERIFY(ConfigOpen());
        form_->resize(700, 500);
        form_->show();
        QVERIFY(QTest::qWaitForWindowExposed(form_.get()));
    }

    void cleanup() {
        ShutdownConfiguration();
        Form5 = nullptr;
        Form80 = nullptr;
        form_.reset();
        switcher_.reset();
        plat::ClearDriveMappings();
        dir_.reset();
    }

    void developMarkers_data() {
        const std::string own = std::string("/i=") + kMonIni;
        QTest::addColumn<std::vector<std::string>>("args");
        QTest::addColumn<bool>("visible");
        QTest::newRow("first argument") << std::vector<std::string>{"ini4zav", "/use=develop", own} << true;
        QTest::newRow("capitals") << std::vector<std::string>{"ini4zav", "/USE=DEVELOP", own} << false;
        QTest::newRow("second argument") << std::vector<std::string>{"ini4zav", own, "/use=develop"} << false;
        QTest::newRow("longer") << std::vector<std::string>{"ini4zav", "/use=developer", own} << false;
        QTest::newRow("none") << std::vector<std::string>{"ini4zav", own} << false;
    }
    void developMarkers() {
        QFETCH(std::vector<std::string>, args);
        QFETCH(bool, visible);
        // The form reads the arguments the program was started with.
        ReleaseToolIni();
        StartConfiguration(args);
        {
            TForm5 fresh;
            QCOMPARE(fresh.Panel2->isVisibleTo(&fresh), visible);
            QCOMPARE(fresh.Panel3->isVisibleTo(&fresh), visible);
            // The main window's picture click switches them on whatever the arguments were.
            fresh.ShowDevelopMarkers(true);
            QVERIFY(fresh.Panel2->isVisibleTo(&fresh));
            QVERIFY(fresh.Panel3->isVisibleTo(&fresh));
        }
        ReleaseToolIni();
        StartConfiguration({"ini4zav", std::string("/i=") + kMonIni});
    }

    void sectionListAndSectionClick() {
        form_->StaticText1->setText(QStringLiteral("alt"));
        form_->RefreshSections();
        QCOMPARE(form_->StaticText1->text(), QString());
        // Sorted without regard to letter case; a section name given twice is listed twice.
        QCOMPARE(ListItems(), (QStringList{"alpha", "alpha", "comport", "FileList", "files", "ID", "logfiles",
                                           "machine", "modem", "TEST"}));

        ClickItem(QStringLiteral("FileList"));
        QCOMPARE(form_->StaticText1->text(), QStringLiteral("FileList"));
        QCOMPARE(MemoText(), QStringLiteral("extra.ini=$(BASE)\\data\\extra.ini\nformula=a=b=c"));
        QCOMPARE(MemoColour(), TForm5::WindowColour());

        ClickItem(QStringLiteral("modem"));
        QCOMPARE(MemoText(), QStringLiteral("dial=ATDT\nmodem=TRUE"));
        // Clicking the chosen section again shows it again.
        form_->inifile_memo->setPlainText(QStringLiteral("overwritten"));
        ClickItem(QStringLiteral("modem"));
        QCOMPARE(MemoText(), QStringLiteral("dial=ATDT\nmodem=TRUE"));

        // Keyboard moves act as clicks too.
        QTest::keyClick(form_->IniListBox, Qt::Key_Down);
        QCOMPARE(form_->StaticText1->text(), QStringLiteral("TEST"));
        QCOMPARE(Lines(MemoText()).first(), QStringLiteral("muxset=force"));
    }

    void idButton() {
        form_->RefreshSections();
        // The list's search ignores letter case: "->[Id]" finds [ID].
        form_->SpeedButton1->click();
        QCOMPARE(form_->IniListBox->currentItem()->text(), QStringLiteral("ID"));
        QCOMPARE(form_->StaticText1->text(), QStringLiteral("ID"));
        QCOMPARE(MemoText(), QStringLiteral("name=Anlage 7\nlink=V:\\data\\extra.ini"));

        // A file without [Id]: the caption is cleared and the memo keeps what it showed.
        form_->OpenInInspector("V:\\data\\extra.ini");
        form_->RefreshSections();
        ClickItem(QStringLiteral("Zeta"));
        QCOMPARE(MemoText(), QStringLiteral("z=26"));
        form_->SpeedButton1->click();
        QCOMPARE(form_->StaticText1->text(), QString());
        QVERIFY(form_->IniListBox->selectedItems().isEmpty());
        QCOMPARE(MemoText(), QStringLiteral("z=26"));
    }

    void openWritesBackAndShowsWholeFile() {
        form_->RefreshSections();
        ToolIni().WriteString("modem", "dial", "ATDP9");
        form_->OpenInInspector("V:\\data\\extra.ini");

        // The file that was open reached the disk with its change before the switch.
        QVERIFY(Disk(kMonIni).find("dial=ATDP9\r\n") != std::string::npos);
        QCOMPARE(ini_FileName(), std::string("V:\\data\\extra.ini"));
        QCOMPARE(Form80->ToolKind, 3);
        // The whole store in file form, on the info background; the list waits for the next refresh.
        QCOMPARE(MemoText(), QStringLiteral("[Zeta]\nz=26\n\n[V:\\data\\other.ini]\nk=v\n"));
        QCOMPARE(MemoColour(), TForm5::InfoColour());
        QCOMPARE(form_->IniListBox->count(), 0);
        QVERIFY(dlg::History().empty());
        form_->RefreshSections();
        QCOMPARE(ListItems(), (QStringList{"V:\\data\\other.ini", "Zeta"}));
    }

    void openMissingFileKeepsTheOpenOne() {
        form_->RefreshSections();
        ClickItem(QStringLiteral("modem"));
        form_->OpenInInspector("V:\\data\\nix.ini");

        QCOMPARE(dlg::History().size(), size_t(1));
        const dlg::Shown& box = dlg::History().front();
        QCOMPARE(box.kind, dlg::Kind::Information);
        QCOMPARE(box.caption, std::string("Information"));
        QCOMPARE(box.text, std::string("V:\\data\\nix.ini nicht gefunden"));
        QCOMPARE(box.buttons, int(dlg::mbYes));
        QCOMPARE(MemoText(), QString());
        QCOMPARE(form_->IniListBox->count(), 0);
        QCOMPARE(ini_FileName(), std::string(kMonIni));
        QVERIFY(ConfigOpen());
    }

    void unreadableFileIsReportedNotShownEmpty() {
        // A file that exists but gives a read error (this one does, even for root).
        plat::SetDriveMapping('P', "/proc/self");
        QVERIFY(plat::FileExists("P:\\mem"));
        form_->OpenInInspector("P:\\mem");
        QCOMPARE(dlg::History().size(), size_t(1));
        QCOMPARE(dlg::History().front().kind, dlg::Kind::Error);
        QVERIFY(dlg::History().front().text.rfind("P:\\mem kann nicht gelesen werden: ", 0) == 0);
        QCOMPARE(MemoText(), QString());
    }

    void memoDoubleClick() {
        form_->RefreshSections();
        ClickItem(QStringLiteral("ID"));
        // The memo only shows: typing changes nothing.
        const QString shown = MemoText();
        form_->inifile_memo->setFocus();
        QTest::keyClicks(form_->inifile_memo, "xyz");
        QTest::keyClick(form_->inifile_memo, Qt::Key_Backspace);
        QCOMPARE(MemoText(), shown);

        // The word under the pointer runs between blanks: "name=Anlage" would open "Anlage"; "7" has no "=",
        // nothing happens.
        DoubleClickWord(QStringLiteral("7"));
        QVERIFY(dlg::History().empty());
        QCOMPARE(ini_FileName(), std::string(kMonIni));
        QCOMPARE(MemoText(), QStringLiteral("name=Anlage 7\nlink=V:\\data\\extra.ini"));

        // key=path without blanks: the path after the first "=" is opened.
        DoubleClickWord(QStringLiteral("extra.ini"));
        QVERIFY(dlg::History().empty());
        QCOMPARE(ini_FileName(), std::string("V:\\data\\extra.ini"));
        QCOMPARE(MemoColour(), TForm5::InfoColour());
        QCOMPARE(Lines(MemoText()).first(), QStringLiteral("[Zeta]"));
        QCOMPARE(form_->IniListBox->count(), 0);

        // A value that names no file: the box names everything after the first "=".
        form_->OpenInInspector(kMonIni);
        form_->RefreshSections();
        ClickItem(QStringLiteral("FileList"));
        DoubleClickWord(QStringLiteral("a=b=c"));
        QCOMPARE(dlg::History().size(), size_t(1));
        QCOMPARE(dlg::History().front().text, std::string("a=b=c nicht gefunden"));
    }

    void sectionCaptionClickOpensItAsFile() {
        form_->OpenInInspector("V:\\data\\extra.ini");
        form_->RefreshSections();
        ClickItem(QStringLiteral("V:\\data\\other.ini"));
        QTest::mouseClick(form_->StaticText1, Qt::LeftButton);
        QCOMPARE(ini_FileName(), std::string("V:\\data\\other.ini"));
        QCOMPARE(MemoText(), QStringLiteral("[other]\nq=$(BASE)\\q\n"));

        // A section name that is no file gives the message.
        form_->RefreshSections();
        ClickItem(QStringLiteral("other"));
        QTest::mouseClick(form_->StaticText1, Qt::LeftButton);
        QCOMPARE(dlg::History().back().text, std::string("other nicht gefunden"));
    }

    void baseExpandsShownLinesOnly() {
        form_->RefreshSections();
        ClickItem(QStringLiteral("files"));
        form_->inifile_memo->setPlainText(
            QStringLiteral("DataDir=$(BASE)\\data\nlow=$(base)\\x\ntwo=$(BASE)\\$(BASE)\nplain=C:\\x\n"));
        form_->BaseButton->click();
        QCOMPARE(MemoText(), QStringLiteral("DataDir=V:\\data\nlow=V:\\x\ntwo=V:\\$(BASE)\nplain=C:\\x\n"));
        // Nothing is written: the store and the file keep $(BASE).
        QCOMPARE(ToolIni().ReadString("files", "DataDir", ""), std::string("$(BASE)\\data"));
        QCOMPARE(Disk(kMonIni), std::string(kMonIniText));
    }

    void testIniListsEveryResolvedValue() {
        // A change held in memory must reach the disk: the test writes the file back and reads it again.
        ToolIni().WriteString("modem", "dial", "ATDT9");
        form_->BitBtn3->click();

        const std::string rule(81, '_');
        const QStringList expected = {
            "Testaufruf von ed_ini mit den Parametern: ",
            "execute:          ",
            "inifile:          V:\\mon4vam\\mon4vam.ini",
            plat::ToQ(rule),
            "LogOnFile=        V:\\log\\logon.log",
            "LogFile=          V:\\log\\mon4vam.log",
            "",
            "ini_Machines=     vam",
            "ini_DialStr=      ATDT9",
            "ini_HelpDir=      V:\\help",
            "ini_FilesDir=     V:\\files",
            "ini_EXP_FilesDir= V:\\export",
            "ini_BilderDir=    V:\\bilder",
            "ini_DebugDir=     V:\\debug",
            "ini_DokuDir=      V:\\doku",
            "ini_DataDir=      V:\\data",
            "ini_System=       V:\\system",
            "ini_FehlerFile=   V:\\data\\fehler.txt",
            "ini_SymFile=      C:\\sym\\vam.sym",
            "ini_Treefile=     V:\\data\\backtree.sys",
            "ini_HelpFile=     V:\\help\\mon4vam.hlp",
            "ini_DefaultFile=  V:\\files\\default.zws",
            "ini_FileName=     V:\\mon4vam\\mon4vam.ini",
            "ini_SysMod=       V:\\system\\sysmod.sys",
            "ini_language=     V:\\system\\deutsch.lng",
            "ini_telefonbuch=  V:\\data\\telefon.txt",
            "ini_401x=         True",
            "ini_Modem=        True",
            "ini_ComPort:      4464",
            "ini_MuxSet:       False",
            "ini_Rpf401x:      True",
            "ini_HotSpot:      True",
            "ini_Backtree:     False",
            plat::ToQ(rule),
            "Language-test (nur test-zugriff)",
            "Panelreport:      Panel-Bericht",
            "MessageDlg:       text5",
        };
        const QStringList shown = Lines(MemoText());
        QCOMPARE(shown.size(), 37);
        for (qsizetype i = 0; i < expected.size(); ++i)
            QCOMPARE(shown.at(i), expected.at(i));
        QCOMPARE(MemoColour(), TForm5::SilverColour());
        QVERIFY(Disk(kMonIni).find("dial=ATDT9\r\n") != std::string::npos);
        QVERIFY(plat::FileExists("V:\\log\\mon4vam.log"));
    }

    void testIniWithoutOpenFileOpensNothing() {
        // A stray ".INI" in the working directory must not become the configuration file.
        const std::string keepDir = plat::GetCurrentDir();
        WriteTool("V:\\.INI", "[machine]\r\ntype=STRAY\r\n");
        plat::SetCurrentDir("V:\\");
        Form80->OpenToolIni(2, "V:\\nix.ini");
        QVERIFY(!ConfigOpen());
        form_->BitBtn3->click();
        const QStringList shown = Lines(MemoText());
        plat::SetCurrentDir(keepDir);
        QVERIFY(!ConfigOpen());
        QCOMPARE(shown.size(), 37);
        QCOMPARE(shown.at(2), QStringLiteral("inifile:          "));
        QCOMPARE(shown.at(7), QStringLiteral("ini_Machines=     VAM"));
        QCOMPARE(shown.at(28), QStringLiteral("ini_ComPort:      1"));
        QCOMPARE(shown.at(36), QStringLiteral("MessageDlg:       "));
    }

    void largeFileArrivesWholeWhileWindowStaysLive() {
        // Some 3 MB: large enough to be filled in by pieces.
        std::string big = "[files]\r\nbase=V:\r\n";
        for (int s = 0; big.size() < 3u << 20; ++s) {
            big += "[s" + std::to_string(s) + "]\r\n";
            for (int k = 0; k < 20; ++k)
                big += "k" + std::to_string(k) + "=$(BASE)\\p\\" + std::to_string(s) + "\r\n";
        }
        WriteTool("V:\\data\\big.ini", big);
        form_->OpenInInspector("V:\\data\\big.ini");
        QVERIFY(form_->MemoLoading());

        std::vector<std::string> storeLines;
        ToolIni().GetStrings(storeLines);
        QString expected;
        for (size_t i = 0; i < storeLines.size(); ++i)
            expected += (i ? "\n" : "") + plat::ToQ(storeLines[i]);
        // No line lost, doubled or split where the pieces meet.
        QCOMPARE(MemoText(), expected);

        // "BASE" pressed while the text is still arriving works on all of it.
        form_->OpenInInspector("V:\\data\\big.ini");
        QVERIFY(form_->MemoLoading());
        form_->BaseButton->click();
        QString base = expected;
        base.replace(QStringLiteral("$(BASE)"), QStringLiteral("V:"));
        QCOMPARE(MemoText(), base);

        // A section click during the fill replaces the text for good.
        form_->OpenInInspector("V:\\data\\big.ini");
        form_->RefreshSections();
        ClickItem(QStringLiteral("s1"));
        QCOMPARE(Lines(MemoText()).size(), 20);
    }
};

QTEST_MAIN(InspectorTest)
#include "InspectorTest.moc"
