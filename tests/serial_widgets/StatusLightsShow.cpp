// Shows the console's row of status lights, switched by a light controller watching a port on the
// simulated line: the far end holds DCD and DSR on and keeps sending, so DCD, DSR and RxD are lit
// while RING and TxD are not; the CONNECT panel stays maroon. For looking at the lights (and
// taking a picture of them); not a test and not installed.
//
//   status_lights_show [milliseconds until it quits; 0 or none: runs until closed]

#include "platform/ComMap.h"
#include "platform/qt/QtTime.h"
#include "serial/device/SxSimLine.h"
#include "serial/lights/SxSLController.h"
#include "serial/widgets/SxStatusLight.h"

#include <QApplication>
#include <QFrame>
#include <QGroupBox>
#include <QStyle>
#include <QStyleOptionGroupBox>
#include <QTimer>
#include <QVBoxLayout>

#include <cstdlib>
#include <utility>
#include <vector>

using namespace sx;

namespace {

// The group box of the lights; each control stands centred under its word of the caption.
class LedGroup : public QGroupBox {
public:
    using QGroupBox::QGroupBox;
    std::vector<std::pair<QString, QWidget*>> Under;

protected:
    void resizeEvent(QResizeEvent* e) override {
        QGroupBox::resizeEvent(e);
        QStyleOptionGroupBox o;
        initStyleOption(&o);
        const QRect label = style()->subControlRect(QStyle::CC_GroupBox, &o, QStyle::SC_GroupBoxLabel, this);
        const QFontMetrics fm(font());
        int from = 0;
        for (const auto& [word, w] : Under) {
            const int at = title().indexOf(word, from);
            from = at + static_cast<int>(word.size());
            const int centre =
                label.left() + fm.horizontalAdvance(title().left(at)) + fm.horizontalAdvance(word) / 2;
            w->move(centre - w->width() / 2, label.bottom() + 12);
        }
    }
};

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const int quitAfter = argc > 1 ? std::atoi(argv[1]) : 0;

    QWidget form;
    form.setWindowTitle("MyComPort");
    auto* outer = new QVBoxLayout(&form);
    const QString caption = "DCD   DSR  RING  CONNECT   RxD  TxD";
    auto* leds = new LedGroup(caption, &form);
    leds->setMinimumSize(260, 48);
    outer->addWidget(leds);

    const QColor lime(0, 255, 0), maroon(128, 0, 0);
    auto makeLight = [&] {
        auto* l = new TSxStatusLight(leds);
        l->SetLitColor(lime);
        l->SetNotLitColor(maroon);
        return l;
    };
    // From left to right under the caption: DCD, DSR, RING, the CONNECT panel, RxD, TxD.
    TSxStatusLight* light3 = makeLight();
    TSxStatusLight* light4 = makeLight();
    TSxStatusLight* light5 = makeLight();
    auto* connectLed = new QFrame(leds);
    connectLed->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    connectLed->setAutoFillBackground(true);
    QPalette pal = connectLed->palette();
    pal.setColor(QPalette::Window, maroon);
    connectLed->setPalette(pal);
    connectLed->resize(26, 13);
    TSxStatusLight* light2 = makeLight();
    TSxStatusLight* light1 = makeLight();
    leds->Under = {{"DCD", light3},         {"DSR", light4}, {"RING", light5},
                   {"CONNECT", connectLed}, {"RxD", light2}, {"TxD", light1}};

    // The port on the simulated line, watched as the console does after opening it.
    plat::SetComDevice(1, "sim:lights-show");
    auto line = TSxSimLine::Get("lights-show");
    line->SetLines(msCTS | msDSR | msDCD);
    TSxComPort port(&plat::QtGuiHandoff::Instance());
    port.SetComNumber(1);
    port.SetOnTriggerAvail([](TSxCustomComPort&, uint16_t) {}); // reads nothing: RxD stays lit
    TSxSLController controller(&port);
    TLightSet set;
    set.DCDLight = light3;
    set.DSRLight = light4;
    set.RINGLight = light5;
    set.RXDLight = light2;
    set.TXDLight = light1;
    controller.SetLights(set);
    port.SetOpen(true);
    controller.SetWatching(true);

    QTimer sender;
    QObject::connect(&sender, &QTimer::timeout, [&] { line->Write("x"); });
    sender.start(200);
    if (quitAfter > 0) QTimer::singleShot(quitAfter, &app, &QApplication::quit);

    form.resize(300, 80);
    form.show();
    const int rc = app.exec();
    controller.SetWatching(false);
    port.SetOpen(false);
    return rc;
}
