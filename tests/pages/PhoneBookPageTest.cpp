// The phone book page: creation of a missing file, parsing, editing in the grid, writing back.

#include "PageFixture.h"

#include "pages/Dialogs.h"
#include "pages/Unit49.h"
#include "platform/DateTime.h"
#include "platform/qt/QtText.h"

#include <QApplication>
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

    // What the file cannot hold is refused with a message that names the row: nothing is written, the list
    // and the grid stay as they are. A ")" in a name comes back unchanged and is written.
    void saveRefusesRowsTheFileCannotHold_data() {
        QTest::addColumn<int>("row");
        QTest::addColumn<int>("col");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("named");
        QTest::newRow("( im Namen") << 2 << 0 << QStringLiteral("Halle (alt)") << QStringLiteral("Zeile 2");
        QTest::newRow("( am Namensende") << 1 << 0 << QStringLiteral("B(") << QStringLiteral("Zeile 1");
        QTest::newRow(") in der Nummer") << 2 << 1 << QStringLiteral("0661)9") << QStringLiteral("Zeile 2");
        QTest::newRow("neue Zeile weiter unten") << 9 << 0 << QStringLiteral("X(Y") << QStringLiteral("Zeile 9");
    }
    void saveRefusesRowsTheFileCannotHold() {
        QFETCH(int, row);
        QFETCH(int, col);
        QFETCH(QString, typed);
        QFETCH(QString, named);
        const std::string book = "A(1)\r\nB(22)\r\n";
        F->Write(BookRel(), book);
        Page->LoadSettings();
        dlg::ClearHistory();
        Page->StringGrid1->item(row, col)->setText(typed);
        QVERIFY(!Page->SaveSettings());
        QCOMPARE(F->Read(BookRel()), book);
        QCOMPARE(Page->StringGrid1->item(row, col)->text(), typed);
        QCOMPARE(Page->ListBox1->count(), 2);
        QCOMPARE(dlg::History().size(), std::size_t(1));
        QCOMPARE(dlg::History()[0].kind, dlg::Kind::Warning);
        const QString message = ToQ(dlg::History()[0].text);
        QVERIFY2(message.contains(named + ":") && message.contains(typed) && message.contains("nicht gespeichert"),
                 qPrintable(message));

        // Mended, the same grid is written.
        Page->StringGrid1->item(row, col)->setText(QStringLiteral("ok"));
        QVERIFY(Page->SaveSettings());
        QVERIFY(F->Read(BookRel()) != book);
    }
    void closingParenthesisInANameRoundTrips() {
        F->Write(BookRel(), "Halle 3) Nord(0661)\r\n");
        Page->LoadSettings();
        QCOMPARE(Cell(1, 0), std::string("Halle 3) Nord"));
        dlg::ClearHistory();
        QVERIFY(Page->SaveSettings());
        QVERIFY(dlg::History().empty());
        QCOMPARE(F->Read(BookRel()), std::string("Halle 3) Nord(0661)\r\n"));
        Page->LoadSettings();
        QCOMPARE(Cell(1, 1), std::string("0661"));
    }

    // Escape while a cell is edited cancels the edit; Enter keeps it.
    void escapeCancelsACellEdit() {
        F->Write(BookRel(), "A(1)\r\n");
        Page->LoadSettings();
        Page->show();
        QVERIFY(QTest::qWaitForWindowExposed(Page));
        QTableWidget* grid = Page->StringGrid1;
        for (auto [key, expected] : {std::pair{Qt::Key_Return, "Anders"}, {Qt::Key_Escape, "Anders"}}) {
            // The delegate closes its editor through the event queue: wait for it.
            grid->setCurrentCell(1, 0);
            grid->editItem(grid->item(1, 0));
            auto* editor = qobject_cast<QLineEdit*>(grid->indexWidget(grid->model()->index(1, 0)));
            QVERIFY(editor);
            editor->selectAll();
            QTest::keyClicks(editor, key == Qt::Key_Escape ? "Zwischen" : "Anders");
            QCOMPARE(editor->text(), QString::fromLatin1(key == Qt::Key_Escape ? "Zwischen" : "Anders"));
            QTest::keyClick(editor, key);
            QTRY_VERIFY_WITH_TIMEOUT(!grid->indexWidget(grid->model()->index(1, 0)), 30000);
            QCOMPARE(QString::fromStdString(Cell(1, 0)), QString::fromLatin1(expected));
        }
    }

    void unreachableDirectoryEndsTheLoadWithAFileError() {
        F->Reopen("mon4vam\\mon4vam.ini", "[files]\r\nDataDir=V:\\fehlt\r\ntelefonbuch=telefon.txt\r\n");
        QVERIFY_THROWS_EXCEPTION(plat::FileError, Page->LoadSettings());
    }
};

QTEST_MAIN(PhoneBookPageTest)
#include "PhoneBookPageTest.moc"
