#pragma once
// The link indicator: a small lowered panel that is green while the controller link is up and red
// otherwise. Every colour change can be reported to a listener.

#include <QFrame>
#include <QRgb>

#include <functional>

// The standard colour constants of the console's indicators.
constexpr QRgb clRed = qRgb(0xFF, 0x00, 0x00);    // pure red
constexpr QRgb clGreen = qRgb(0x00, 0x80, 0x00);  // green at half intensity
constexpr QRgb clLime = qRgb(0x00, 0xFF, 0x00);   // pure green
constexpr QRgb clMaroon = qRgb(0x80, 0x00, 0x00); // red at half intensity

class TLinkPanel;
// Listener of colour changes; b is true only when the new colour is exactly clGreen.
using TLinkNotifyEvent = std::function<void(TLinkPanel* Sender, bool b)>;
using TLinkClickEvent = std::function<void(TLinkPanel* Sender)>;

class TLinkPanel : public QFrame {
    Q_OBJECT
public:
    explicit TLinkPanel(QWidget* parent = nullptr);

    // The panel colour (clRed for a new panel). Writing it recolours the panel, then tells OnLink.
    QRgb Color() const;
    void SetColor(QRgb value);

    TLinkNotifyEvent OnLink;
    TLinkClickEvent OnClick;

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
};
