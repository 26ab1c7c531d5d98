#include "link/port.h"

#include "link/zavcom.h"
#include "platform/qt/QtTime.h"

#include <QObject>

#include <algorithm>
#include <vector>

TMyComPort* MyComPort = nullptr;
bool ConsoleAlive = false;
QRgb LinkColor = clRed;

namespace {

// Link indicator registry: references to the variables that hold the indicators.
std::vector<TLinkPanel**>& Registry() {
    static std::vector<TLinkPanel**> registry;
    return registry;
}

// Clicking an indicator is routed here and has no effect.
void LinkPanelClick(TLinkPanel*) {}

// Drops every entry whose variable still holds the destroyed panel.
void ForgetPanel(const TLinkPanel* panel) {
    std::erase_if(Registry(), [panel](TLinkPanel** ref) { return *ref == panel; });
}

} // namespace

TMyComPort::TMyComPort(QWidget* parent) : QWidget(parent) {
    // The one link object exists from start-up on; its timers run on the GUI thread.
    zavcom::CreateZavCom(plat::QtTimerService::Instance());
}

TMyComPort::~TMyComPort() {
    if (MyComPort == this) MyComPort = nullptr;
}

bool RegisterLinkPanel(TLinkPanel** reference) {
    if (!reference || !*reference) return false;
    auto& reg = Registry();
    for (auto it = reg.rbegin(); it != reg.rend(); ++it)
        if (*it == reference) return false;
    TLinkPanel* panel = *reference;
    if (MyComPort && MyComPort->LinkUp) panel->SetColor(clGreen);
    panel->OnClick = LinkPanelClick;
    QObject::connect(panel, &QObject::destroyed, [panel] { ForgetPanel(panel); });
    reg.push_back(reference);
    return true;
}

void SetLinkState(bool on) {
    if (!ConsoleAlive) return;
    if (MyComPort) MyComPort->LinkUp = on;
    const QRgb colour = on ? clGreen : clRed;
    if (colour == LinkColor) return;
    LinkColor = colour;
    // A listener may register or destroy indicators; walk a copy and skip what is gone.
    const std::vector<TLinkPanel**> entries = Registry();
    for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
        const auto& reg = Registry();
        if (std::find(reg.begin(), reg.end(), *it) == reg.end()) continue;
        if (TLinkPanel* panel = **it) panel->SetColor(colour);
    }
}

int LinkPanelCount() {
    return static_cast<int>(Registry().size());
}
