#pragma once
// The port test console's unit: the console form and the registry of link indicators.
//
// The application creates the one console at start-up (MyComPort = new TMyComPort(...)). The registry
// recolours every registered link indicator with one call of SetLinkState.

#include "link/LinkPanel.h"

#include <QWidget>

// The port test console form. Creating it creates the one link object (zavcom::ZavCom) as well.
class TMyComPort : public QWidget {
    Q_OBJECT
public:
    explicit TMyComPort(QWidget* parent = nullptr);
    ~TMyComPort() override;

    // Link state shown by the link indicators.
    bool LinkUp = false;
};

// The one console of the program; null until the application creates it.
extern TMyComPort* MyComPort;

// True from the console's creation until its shut-down; while false, SetLinkState does nothing.
extern bool ConsoleAlive;
// The colour last given to the registered indicators; clRed at program start.
extern QRgb LinkColor;

// Registers the variable that holds a link indicator; the entry follows the variable, so the panel it
// holds when SetLinkState runs is the one recoloured. False for no variable, a variable that holds no
// panel, or a variable already registered. A panel registered while the link is up turns green at once.
// A destroyed panel leaves the registry by itself.
bool RegisterLinkPanel(TLinkPanel** reference);

// Sets the console's LinkUp and colours every registered indicator green (on) or red, the last
// registered first. Nothing happens while the console is not alive or when the colour does not change.
void SetLinkState(bool on);

// Number of registry entries.
int LinkPanelCount();
