// The link indicator and the console's indicator registry, offscreen, with a listener on OnLink.

#include "link/LinkPanel.h"
#include "link/port.h"

#include <QTest>
#include <QtTest>

#include <memory>
#include <vector>

namespace {

// Records every OnLink of the panels it listens to: the panel, and whether it reported the link up.
struct Listener {
    std::vector<std::pair<TLinkPanel*, bool>> Calls;
    void Listen(TLinkPanel* panel) {
        panel->OnLink = [this](TLinkPanel* sender, bool b) { Calls.emplace_back(sender, b); };
    }
};

} // namespace

class LinkPanelTest : public QObject {
    Q_OBJECT
private slots:
    void init() {
        console = std::make_unique<TMyComPort>();
        MyComPort = console.get();
        ConsoleAlive = true;
        LinkColor = clRed;
    }
    void cleanup() {
        a.reset();
        b.reset();
        ConsoleAlive = false;
        console.reset();
        QCOMPARE(MyComPort, nullptr);
        QCOMPARE(LinkPanelCount(), 0); // destroyed panels leave the registry
    }

    void newPanelIsASmallRedLoweredPanel() {
        TLinkPanel panel;
        QCOMPARE(panel.Color(), clRed);
        QCOMPARE(panel.size(), QSize(17, 17));
        QCOMPARE(panel.frameShadow(), QFrame::Sunken);
    }

    void onlyExactGreenReportsTheLinkUp() {
        TLinkPanel panel;
        Listener l;
        l.Listen(&panel);
        for (QRgb c : {clGreen, clLime, clRed, clMaroon, qRgb(0, 0x81, 0)})
            panel.SetColor(c);
        const std::vector<std::pair<TLinkPanel*, bool>> expected{
            {&panel, true}, {&panel, false}, {&panel, false}, {&panel, false}, {&panel, false}};
        QVERIFY(l.Calls == expected);
        QCOMPARE(panel.Color(), qRgb(0, 0x81, 0));
    }

    void registryRefusesNothingAndDuplicates() {
        raw_a = new TLinkPanel;
        a.reset(raw_a);
        TLinkPanel* empty = nullptr;
        QVERIFY(!RegisterLinkPanel(nullptr));
        QVERIFY(!RegisterLinkPanel(&empty));
        QVERIFY(RegisterLinkPanel(&raw_a));
        QVERIFY(!RegisterLinkPanel(&raw_a));
        QCOMPARE(LinkPanelCount(), 2); // with the console's own link_led
        QVERIFY(!RegisterLinkPanel(&console->link_led)); // registered by the console's creation
    }

    void setLinkStateRecoloursOnlyOnChangeLastRegisteredFirst() {
        raw_a = new TLinkPanel;
        a.reset(raw_a);
        raw_b = new TLinkPanel;
        b.reset(raw_b);
        Listener l;
        l.Listen(raw_a);
        l.Listen(raw_b);
        QVERIFY(RegisterLinkPanel(&raw_a));
        QVERIFY(RegisterLinkPanel(&raw_b));

        SetLinkState(false); // already red: nothing fires
        QVERIFY(l.Calls.empty());

        SetLinkState(true);
        const std::vector<std::pair<TLinkPanel*, bool>> up{{raw_b, true}, {raw_a, true}};
        QVERIFY(l.Calls == up);
        QVERIFY(MyComPort->LinkUp);
        QCOMPARE(LinkColor, clGreen);

        SetLinkState(true); // no change, no event
        QCOMPARE(l.Calls.size(), size_t(2));

        SetLinkState(false);
        QCOMPARE(l.Calls.size(), size_t(4));
        QCOMPARE(raw_a->Color(), clRed);
        QCOMPARE(raw_b->Color(), clRed);
    }

    void panelRegisteredWhileLinkIsUpTurnsGreenAtOnce() {
        SetLinkState(true);
        raw_a = new TLinkPanel;
        a.reset(raw_a);
        Listener l;
        l.Listen(raw_a);
        QVERIFY(RegisterLinkPanel(&raw_a));
        QCOMPARE(raw_a->Color(), clGreen);
        QVERIFY((l.Calls == std::vector<std::pair<TLinkPanel*, bool>>{{raw_a, true}}));
    }

    void entryFollowsTheVariableNotThePanel() {
        raw_a = new TLinkPanel;
        a.reset(raw_a);
        QVERIFY(RegisterLinkPanel(&raw_a));
        auto other = std::make_unique<TLinkPanel>();
        TLinkPanel* first = raw_a;
        raw_a = other.get();
        SetLinkState(true);
        QCOMPARE(other->Color(), clGreen);
        QCOMPARE(first->Color(), clRed);
        raw_a = first;
    }

    void nothingChangesWhileTheConsoleIsNotAlive() {
        raw_a = new TLinkPanel;
        a.reset(raw_a);
        QVERIFY(RegisterLinkPanel(&raw_a));
        ConsoleAlive = false; // before creation, or after shut-down
        SetLinkState(true);
        QCOMPARE(raw_a->Color(), clRed);
        QVERIFY(!MyComPort->LinkUp);
        QCOMPARE(LinkColor, clRed);
    }

    void destroyedPanelLeavesTheRegistry() {
        raw_a = new TLinkPanel;
        QVERIFY(RegisterLinkPanel(&raw_a));
        delete raw_a; // the variable still holds the old address
        QCOMPARE(LinkPanelCount(), 1); // the console's link_led stays
        SetLinkState(true); // must not touch the destroyed panel
        raw_a = nullptr;
    }

private:
    std::unique_ptr<TMyComPort> console;
    TLinkPanel* raw_a = nullptr;
    TLinkPanel* raw_b = nullptr;
    std::unique_ptr<TLinkPanel> a, b;
};

QTEST_MAIN(LinkPanelTest)
#include "LinkPanelTest.moc"
