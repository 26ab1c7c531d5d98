// Tree files: one node per line, depth by leading TABs or blanks, at most one level deeper per line.

#include "pages/Unit10.h"

#include <QTreeWidget>
#include <QtTest>

namespace {
// The tree as "A[B,C[D]],E".
QString Shape(QTreeWidgetItem* item) {
    QString s = item->text(0);
    if (item->childCount()) {
        QStringList kids;
        for (int i = 0; i < item->childCount(); ++i)
            kids << Shape(item->child(i));
        s += "[" + kids.join(",") + "]";
    }
    return s;
}
QString Shape(QTreeWidget& tree) {
    QStringList tops;
    for (int i = 0; i < tree.topLevelItemCount(); ++i)
        tops << Shape(tree.topLevelItem(i));
    return tops.join(",");
}
std::vector<std::string> Lines(const QString& text) {
    std::vector<std::string> out;
    for (const QString& l : text.split('|'))
        out.push_back(l.toStdString());
    return out;
}
} // namespace

class TestTreeFile : public QObject {
    Q_OBJECT
private slots:
    void loadsNesting_data() {
        QTest::addColumn<QString>("lines"); // '|' separates lines
        QTest::addColumn<QString>("shape");
        QTest::newRow("tabs") << "A|\tB|\t\tC|\tD|E"
                              << "A[B[C],D],E";
        QTest::newRow("blanks count like tabs") << "A| B|  C| \t D"
                                                << "A[B[C[D]]]";
        QTest::newRow("back to any shallower level") << "A|\tB|\t\tC|\t\t\tD|E|\tF"
                                                     << "A[B[C[D]]],E[F]";
        QTest::newRow("first line is a top node") << "\t\tA|\t\t\tB"
                                                  << "A[B]";
        // The depth is the indent: lines indented like the first are its siblings, shallower ones top nodes.
        QTest::newRow("uniform indent gives siblings") << " a| b|  c| d"
                                                       << "a,b[c],d";
        QTest::newRow("shallower than an indented first line") << "\t\tA|\tB|\t\tC|D"
                                                               << "A,B[C],D";
        QTest::newRow("blank lines are no nodes") << "A||\t|\tB"
                                                  << "A[B]";
        QTest::newRow("text keeps inner blanks") << "A b|\tc  d "
                                                 << "A b[c  d ]";
    }
    void loadsNesting() {
        QFETCH(QString, lines);
        QFETCH(QString, shape);
        QTreeWidget tree;
        treefile::LoadTreeLines(&tree, Lines(lines));
        QCOMPARE(Shape(tree), shape);
    }

    // A jump of two levels stops the load with the message; what came before stays, nothing after.
    void depthJumpStopsAndKeepsEarlierNodes() {
        QTreeWidget tree;
        try {
            treefile::LoadTreeLines(&tree, Lines("A|\tB|\t\t\tX|\tC"));
            QFAIL("no error for a jump of two levels");
        } catch (const treefile::TreeLevelError& e) {
            QCOMPARE(QByteArray(e.what()), QByteArray("Ung\xFC"
                                                      "ltige Ebene (3) f\xFC"
                                                      "r Eintrag \"X\""));
        }
        QCOMPARE(Shape(tree), QString("A[B]"));
    }

    void cutsOverlongLinesAndSurvivesBigTrees() {
        QTreeWidget tree;
        std::vector<std::string> lines{std::string(100000, 'x')};
        for (int i = 0; i < 10000; ++i)
            lines.push_back(std::string(std::size_t(i % 5 == 0 ? 1 : 2), '\t') + "n" + std::to_string(i));
        treefile::LoadTreeLines(&tree, lines);
        QCOMPARE(tree.topLevelItemCount(), 1);
        QCOMPARE(tree.topLevelItem(0)->text(0).size(), qsizetype(treefile::MaxLineText));
        QCOMPARE(tree.topLevelItem(0)->childCount(), 2000);
    }

    void splitsAllLineEnds() {
        QCOMPARE(treefile::SplitLines("a\r\nb\nc\rd"), (std::vector<std::string>{"a", "b", "c", "d"}));
        QCOMPARE(treefile::SplitLines("a\r\n\r\n"), (std::vector<std::string>{"a", ""}));
        QCOMPARE(treefile::SplitLines(""), std::vector<std::string>{});
    }
};

QTEST_MAIN(TestTreeFile)
#include "tst_TreeFile.moc"
