#include "link/LinkPanel.h"

#include <QMouseEvent>
#include <QPalette>

TLinkPanel::TLinkPanel(QWidget* parent) : QFrame(parent) {
    setFrameStyle(QFrame::Panel | QFrame::Sunken); // outer bevel lowered
    setLineWidth(1);
    setFixedSize(17, 17);
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, QColor::fromRgb(clRed));
    setPalette(pal);
}

QRgb TLinkPanel::Color() const {
    return palette().color(QPalette::Window).rgb();
}

void TLinkPanel::SetColor(QRgb value) {
    QPalette pal = palette();
    pal.setColor(QPalette::Window, QColor::fromRgb(value));
    setPalette(pal);
    if (OnLink) {
        auto listener = OnLink; // the listener may replace itself
        listener(this, value == clGreen);
    }
}

void TLinkPanel::mouseReleaseEvent(QMouseEvent* event) {
    QFrame::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()) && OnClick) {
        auto handler = OnClick;
        handler(this);
    }
}
