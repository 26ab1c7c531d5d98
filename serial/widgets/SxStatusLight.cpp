#include "serial/widgets/SxStatusLight.h"

#include <QPainter>

namespace sx {

TSxCustomStatusLight::TSxCustomStatusLight(QWidget* parent) : QWidget(parent) {
    // A layout gives it its own size, not whatever room there is.
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    resize(DefaultSize, DefaultSize);
}

TSxCustomStatusLight::~TSxCustomStatusLight() {
    // While the light is still whole: a controller lets go of it.
    NotifyFree();
}

void TSxCustomStatusLight::SetLit(bool lit) {
    if (lit == lit_) return;
    lit_ = lit;
    update();
}

void TSxCustomStatusLight::SetLitColor(const QColor& color) {
    if (color == litColor_) return;
    litColor_ = color;
    if (lit_ && glyph_.isNull()) update();
}

void TSxCustomStatusLight::SetNotLitColor(const QColor& color) {
    if (color == notLitColor_) return;
    notLitColor_ = color;
    if (!lit_ && glyph_.isNull()) update();
}

void TSxCustomStatusLight::SetGlyph(const QImage& glyph) {
    glyph_ = glyph;
    shownGlyph_ = QImage();
    if (glyph_.isNull()) {
        setMinimumSize(0, 0);
        setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
        resize(DefaultSize, DefaultSize);
    } else {
        // The top-left pixel's colour is the transparent one.
        shownGlyph_ = glyph_.convertToFormat(QImage::Format_ARGB32);
        const QRgb key = shownGlyph_.pixel(0, 0);
        for (int y = 0; y < shownGlyph_.height(); ++y) {
            auto* row = reinterpret_cast<QRgb*>(shownGlyph_.scanLine(y));
            for (int x = 0; x < shownGlyph_.width(); ++x)
                if (row[x] == key) row[x] = qRgba(0, 0, 0, 0);
        }
        setFixedSize(std::max(1, glyph_.width() / 2), glyph_.height());
    }
    updateGeometry();
    update();
}

QSize TSxCustomStatusLight::sizeHint() const {
    if (glyph_.isNull()) return {DefaultSize, DefaultSize};
    return {std::max(1, glyph_.width() / 2), glyph_.height()};
}

void TSxCustomStatusLight::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const int w = width(), h = height();
    if (!glyph_.isNull()) {
        const QWidget* parent = parentWidget();
        const QPalette& pal = parent ? parent->palette() : palette();
        const QPalette::ColorRole role = parent ? parent->backgroundRole() : backgroundRole();
        p.fillRect(rect(), pal.color(role));
        const int half = glyph_.width() / 2;
        p.drawImage(QPoint(0, 0), shownGlyph_, QRect(lit_ ? 0 : half, 0, half, glyph_.height()));
        return;
    }
    p.fillRect(rect(), lit_ ? litColor_ : notLitColor_);
    p.setPen(Qt::white);
    p.drawLine(0, 0, w - 1, 0);
    p.drawLine(0, 0, 0, h - 1);
    p.setPen(QColor(128, 128, 128));
    p.drawLine(w - 1, 0, w - 1, h - 1);
    p.drawLine(0, h - 1, w - 1, h - 1);
}

} // namespace sx
