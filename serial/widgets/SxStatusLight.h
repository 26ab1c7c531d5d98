#pragma once
// The status light: a small control, 13 x 13 pixels, that is lit or not. Without a glyph it is a
// filled square in LitColor or NotLitColor with a white top and left edge and a grey right and
// bottom edge. With a glyph, the bitmap holds the lit image on its left half and the unlit image
// on its right half; the colour of its top-left pixel shows the parent's background instead.

#include "serial/lights/SxLight.h"

#include <QColor>
#include <QImage>
#include <QWidget>

namespace sx {

class TSxCustomStatusLight : public QWidget, public ISxLight {
    Q_OBJECT
public:
    static constexpr int DefaultSize = 13;

    explicit TSxCustomStatusLight(QWidget* parent = nullptr);
    ~TSxCustomStatusLight() override;

    // Setting a property repaints only when what is shown changes.
    bool Lit() const override { return lit_; }
    void SetLit(bool lit) override;
    QColor LitColor() const { return litColor_; }
    void SetLitColor(const QColor& color);
    QColor NotLitColor() const { return notLitColor_; }
    void SetNotLitColor(const QColor& color);
    // A null image removes the glyph (the light is 13 x 13 again). With a glyph the control is
    // half the bitmap's width by its height, whatever size it is given.
    const QImage& Glyph() const { return glyph_; }
    void SetGlyph(const QImage& glyph);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    bool lit_ = false;
    QColor litColor_{255, 0, 0};
    QColor notLitColor_{0, 128, 0};
    QImage glyph_;
    QImage shownGlyph_; // the glyph with its top-left colour made transparent
};

// The light as placed on a form: all of TSxCustomStatusLight.
class TSxStatusLight : public TSxCustomStatusLight {
    Q_OBJECT
public:
    using TSxCustomStatusLight::TSxCustomStatusLight;
};

} // namespace sx
