// The phone book page: creation of a missing file, parsing, editing in the grid, writing back.

#include "PageFixture.h"

#include "pages/Unit49.h"
#include "platform/DateTime.h"
#include "platform/qt/QtText.h"

#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>

using plat::FromQ;
using plat::ToQ;

namespace {
const char* const Book = "data\\telefon.txt";
std::string BookRel() { return std::string("mon4vam\\") + Book; }
} // namespace

class PhoneBookPageTest : public QObject {
    Q_OBJECT
    PageFixture* F = nullptr;
    TTelefonBuch* Page = nullptr;

    std::string Cell(int row, int col) const {
        const QTableWidgetItem* item = Page->StringGrid1->item(row, col);
        return item ? FromQ(item->text()) : std::string("<none>");
    }
    void SetCell(int row, int col, const std::string& text) { Page->StringGrid1->item(row, col)->setText(ToQ(text)); }
    void Open(const std::string& language) {
        F->Write("system\\deutsch.lng", language);
        F->Reopen("mon4vam\\mon4vam.ini", PageFixture::MonitorIni(""));
    }

private slots:
    void init() {
        F = new PageFixture;
        Open("[monitor_49]\r\n10=Telefonbuch vom \r\n");
        Page = new TTelefonBuch;
    }
    void cleanup() {
        delete Page;
        delete F;
    }

    void missingFileIsCreatedWithDatedLineAndTestEntry() {
        QVERIFY(!F->Exists(BookRel()));
        Page->LoadSettings();
        const std::string first = "Telefonbuch vom " + plat::DateToStr() + " ()";
        QCOMPARE(F->Read(BookRel()), first + "\r\nZAV/TEST-VAM (06601234567)\r\n");
        QCOMPARE(Cell(1, 0), "Telefonbuch vom " + plat::DateToStr() + " ");
        QCOMPARE(Cell(1, 1), std::string());
        QCOMPARE(Cell(2, 0), std::string("ZAV/TEST-VAM "));
        QCOMPARE(Cell(2, 1), std::string("06601234567"));
        QCOMPARE(Page->Nummer->text(), QString());
        QCOMPARE(Page->ListBox1->count(), 2);
        QCOMPARE(Page->StringGrid1->rowCount(), 25);

        // Written back unchanged: no blank is added before "(".
        Page->SichernButton->click();
        QCOMPARE(F->Read(BookRel()), first + "\r\nZAV/TEST-VAM (06601234567)\r\n");
    }

    void withoutLanguageTextTheKeyStartsTheFirstLine() {
        Open("[andere]\r\nx=y\r\n");
        Page->LoadSettings();
        QCOMPARE(plat::SplitLines(F->Read(BookRel())).at(0), "10" + plat::DateToStr() + " ()");
    }

    void linesAreSplitAtTheFirstParenthesis_data() {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("number");
        QTest::newRow("entry") << QString("Haus Nord(0661 123)") << QString("Haus Nord") << QString("0661 123");
        QTest::newRow("trailing blank kept") << QString("Haus  (1) ") << QString("Haus  ") << QString("1");
        QTest::newRow("no parenthesis") << QString("0661 999") << QString() << QString("0661 999");
        QTest::newRow("no (, but )") << QString("12)34") << QString() << QString("12");
        QTest::newRow("two groups") << QString("A(1)(2)") << QString("A") << QString("1");
        QTest::newRow("unclosed") << QString("B(77") << QString("B") << QString("77");
        QTest::newRow("empty") << QString() << QString() << QString();
        QTest::newRow("long number") << QString("C(" + QString(300, '9') + ")") << QString("C")
                                     << QString(255, '9');
    }
    void linesAreSplitAtTheFirstParenthesis() {
        QFETCH(QString, line);
        QFETCH(QString, name);
        QFETCH(QString, number);
        std::string n = "x", num = "x";
        TTelefonBuch::SplitEntry(FromQ(line), n, num);
        QCOMPARE(ToQ(n), name);
        QCOMPARE(ToQ(num), number);
    }

    void saveWritesNamedRowsInGridOrder() {
        F->Write(BookRel(), "Aufzug S\xfc" "d(0661 1)\r\n0661 999\r\nA(1)(2)\r\n\r\nZ (9)\r\n");
        Page->LoadSettings();
        QCOMPARE(Cell(1, 0), std::string("Aufzug S\xfc" "d"));
        QCOMPARE(FromQ(Page->Nummer->text()), std::string("0661 1"));
        QCOMPARE(Page->SelectedNumber, std::string("0661 1"));
        QCOMPARE(Cell(2, 0), std::string());
        QCOMPARE(Cell(2, 1), std::string("0661 999"));

        SetCell(3, 1, "neu");      // edit a number
        SetCell(7, 0, "Sp\xe4t");     // a new entry further down, after empty rows
        SetCell(7, 1, "0");
        Page->SaveSettings();
        QCOMPARE(F->Read(BookRel()), std::string("Aufzug S\xfc" "d(0661 1)\r\nA(neu)\r\nZ (9)\r\nSp\xe4t(0)\r\n"));
        QCOMPARE(Page->ListBox1->count(), 4);
        QCOMPARE(Page->ListBox1->item(3)->text(), QStringLiteral("Spät(0)"));

        // Clearing a name removes the entry whatever its number holds.
        SetCell(1, 0, "");
        Page->SichernButton->click();
        QCOMPARE(F->Read(BookRel()), std::string("A(neu)\r\nZ (9)\r\nSp\xe4t(0)\r\n"));
    }

    void selectingACellShowsTheRowsNumber() {
        F->Write(BookRel(), "A(1)\r\nB(22)\r\n");
        Page->LoadSettings();
        Page->StringGrid1->setCurrentCell(2, 0);
        QCOMPARE(Page->Nummer->text(), QStringLiteral("22"));
        QCOMPARE(Page->SelectedNumber, std::string("22"));
        Page->StringGrid1->setCurrentCell(3, 1);
        QCOMPARE(Page->Nummer->text(), QString());
    }

    void longPhoneBookLosesNothing() {
        std::string text;
        for (int i = 1; i <= 40; ++i) text += "Anlage " + std::to_string(i) + "(0661 " + std::to_string(i) + ")\r\n";
        F->Write(BookRel(), text);
        Page->LoadSettings();
        QCOMPARE(Page->StringGrid1->rowCount(), 41);
        QCOMPARE(Cell(40, 0), std::string("Anlage 40"));
        Page->SaveSettings();
        QCOMPARE(F->Read(BookRel()), text);

        // A shorter book afterwards shrinks the grid back to its 24 entry rows, with no stale cells.
        F->Write(BookRel(), "X(1)\r\n");
        Page->LoadSettings();
        QCOMPARE(Page->StringGrid1->rowCount(), 25);
        QCOMPARE(Cell(2, 0), std::string());
        QCOMPARE(Cell(24, 1), std::string());
    }

    void unreachableDirectoryEndsTheLoadWithAFileError() {
        F->Reopen("mon4vam\\mon4vam.ini", "[files]\r\nDataDir=V:\\fehlt\r\ntelefonbuch=telefon.txt\r\n");
        QVERIFY_THROWS_EXCEPTION(plat::FileError, Page->LoadSettings());
    }
};

QTEST_MAIN(PhoneBookPageTest)
#include "PhoneBookPageTest.moc"
