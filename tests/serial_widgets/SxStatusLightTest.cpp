// The status light: its size, what it paints, and that it repaints only when what it shows
// changes.

#include "serial/widgets/SxStatusLight.h"
#include "serial/lights/SxSLController.h"

#include <QVBoxLayout>
#include <QtTest>

using namespace sx;

namespace {

// A light that counts its paintings.
class CountingLight : public TSxStatusLight {
public:
    using TSxStatusLight::TSxStatusLight;
    int Paints = 0;

protected:
    void paintEvent(QPaintEvent* e) override {
        ++Paints;
        TSxStatusLight::paintEvent(e);
    }
};

const QColor White(255, 255, 255);
const QColor Grey(128, 128, 128);

QColor At(const QImage& img, int x, int y) {
    return img.pixelColor(x, y);
}

// A 20 x 8 glyph: its key colour (magenta) in the top-left pixel and around each half's middle;
// the lit half blue inside, the unlit half yellow.
QImage MakeGlyph() {
    QImage g(20, 8, QImage::Format_RGB32);
    g.fill(QColor(255, 0, 255));
    for (int y = 2; y < 6; ++y)
        for (int x = 2; x < 8; ++x) {
            g.setPixelColor(x, y, QColor(0, 0, 255));
            g.setPixelColor(10 + x, y, QColor(255, 255, 0));
        }
    return g;
}

} // namespace

class SxStatusLightTest : public QObject {
    Q_OBJECT
private slots:
    void PaintsTheSquareWithItsEdges();
    void RepaintsOnlyWhenTheLookChanges();
    void AGlyphShowsOneHalfAndSizesTheLight();
    void AControllerForgetsADestroyedLight();
};

void SxStatusLightTest::PaintsTheSquareWithItsEdges() {
    TSxStatusLight light;
    QCOMPARE(light.size(), QSize(13, 13));
    QCOMPARE(light.sizeHint(), QSize(13, 13));
    QVERIFY(!light.Lit());
    QCOMPARE(light.LitColor(), QColor(255, 0, 0));
    QCOMPARE(light.NotLitColor(), QColor(0, 128, 0));

    struct Case {
        bool Lit;
        QColor LitColor, NotLitColor, Fill;
    };
    const QColor lime(0, 255, 0), maroon(128, 0, 0);
    const Case cases[] = {
        {false, QColor(255, 0, 0), QColor(0, 128, 0), QColor(0, 128, 0)},
        {true, QColor(255, 0, 0), QColor(0, 128, 0), QColor(255, 0, 0)},
        {true, lime, maroon, lime}, // the console's colours
        {false, lime, maroon, maroon},
    };
    for (const Case& c : cases) {
        light.SetLitColor(c.LitColor);
        light.SetNotLitColor(c.NotLitColor);
        light.SetLit(c.Lit);
        const QImage img = light.grab().toImage();
        QCOMPARE(img.size(), QSize(13, 13));
        // Inside: the fill; top and left: white; right and bottom: grey.
        for (int i = 1; i < 12; ++i) {
            QCOMPARE(At(img, i, 0), White);
            QCOMPARE(At(img, 0, i), White);
            QCOMPARE(At(img, 12, i), Grey);
            QCOMPARE(At(img, i, 12), Grey);
            for (int j = 1; j < 12; ++j)
                QCOMPARE(At(img, i, j), c.Fill);
        }
        QCOMPARE(At(img, 0, 0), White);
        QCOMPARE(At(img, 12, 12), Grey);
    }

    // In a layout with room to spare it keeps its size.
    {
        QWidget box;
        auto* v = new QVBoxLayout(&box);
        auto* inLayout = new TSxStatusLight;
        v->addWidget(inLayout);
        box.resize(200, 200);
        box.show();
        QVERIFY(QTest::qWaitForWindowExposed(&box));
        QCOMPARE(inLayout->size(), QSize(13, 13));
    }

    // Resized without a glyph, the edges follow the new size.
    light.resize(20, 10);
    const QImage big = light.grab().toImage();
    QCOMPARE(At(big, 19, 5), Grey);
    QCOMPARE(At(big, 10, 9), Grey);
    QCOMPARE(At(big, 10, 5), QColor(128, 0, 0));
}

void SxStatusLightTest::RepaintsOnlyWhenTheLookChanges() {
    QWidget form;
    auto* a = new CountingLight(&form);
    auto* b = new CountingLight(&form);
    b->move(20, 0);
    form.resize(60, 30);
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QTRY_VERIFY(a->Paints > 0 && b->Paints > 0);

    // Each step changes a, then lights or darkens b as well and waits for b's painting: whatever
    // a had to repaint is painted in the same pass.
    struct Step {
        const char* What;
        std::function<void()> Change;
        int Repaints;
    };
    const Step steps[] = {
        {"Lit unchanged", [&] { a->SetLit(false); }, 0},
        {"Lit on", [&] { a->SetLit(true); }, 1},
        {"LitColor while lit", [&] { a->SetLitColor(Qt::blue); }, 1},
        {"LitColor unchanged", [&] { a->SetLitColor(Qt::blue); }, 0},
        {"NotLitColor while lit", [&] { a->SetNotLitColor(Qt::black); }, 0},
        {"Lit off", [&] { a->SetLit(false); }, 1},
        {"NotLitColor while unlit", [&] { a->SetNotLitColor(Qt::darkRed); }, 1},
        {"LitColor while unlit", [&] { a->SetLitColor(Qt::green); }, 0},
        {"a glyph", [&] { a->SetGlyph(MakeGlyph()); }, 1},
        {"NotLitColor with a glyph", [&] { a->SetNotLitColor(Qt::cyan); }, 0},
        {"Lit with a glyph", [&] { a->SetLit(true); }, 1},
        {"LitColor with a glyph", [&] { a->SetLitColor(Qt::magenta); }, 0},
    };
    for (const Step& s : steps) {
        const int before = a->Paints;
        const int bBefore = b->Paints;
        s.Change();
        b->SetLit(!b->Lit());
        QTRY_VERIFY(b->Paints > bBefore);
        QVERIFY2(a->Paints - before == s.Repaints, s.What);
    }
}

void SxStatusLightTest::AGlyphShowsOneHalfAndSizesTheLight() {
    QWidget parent;
    QPalette pal = parent.palette();
    pal.setColor(parent.backgroundRole(), QColor(0, 200, 200));
    parent.setPalette(pal);
    auto* light = new TSxStatusLight(&parent);
    light->SetGlyph(MakeGlyph());
    QCOMPARE(light->size(), QSize(10, 8));
    QCOMPARE(light->sizeHint(), QSize(10, 8));
    light->resize(30, 30); // overridden by the glyph
    QCOMPARE(light->size(), QSize(10, 8));

    for (bool lit : {true, false}) {
        light->SetLit(lit);
        const QImage img = light->grab().toImage();
        QCOMPARE(img.size(), QSize(10, 8));
        QCOMPARE(At(img, 4, 4), lit ? QColor(0, 0, 255) : QColor(255, 255, 0));
        // The key colour shows the parent's background.
        QCOMPARE(At(img, 0, 0), QColor(0, 200, 200));
        QCOMPARE(At(img, 9, 7), QColor(0, 200, 200));
        QCOMPARE(At(img, 1, 4), QColor(0, 200, 200));
    }

    // Without the glyph: the square again, and its size may change.
    light->SetGlyph(QImage());
    QCOMPARE(light->size(), QSize(13, 13));
    light->resize(20, 20);
    QCOMPARE(light->size(), QSize(20, 20));
    QCOMPARE(At(light->grab().toImage(), 5, 5), QColor(0, 128, 0));
}

void SxStatusLightTest::AControllerForgetsADestroyedLight() {
    TSxSLController controller;
    auto* dsr = new TSxStatusLight;
    TSxStatusLight dcd;
    controller.SetDSRLight(dsr);
    controller.SetDCDLight(&dcd);
    QCOMPARE(controller.DSRLight(), static_cast<ISxLight*>(dsr));
    delete dsr;
    QCOMPARE(controller.DSRLight(), nullptr);
    QCOMPARE(controller.DCDLight(), static_cast<ISxLight*>(&dcd));
}

QTEST_MAIN(SxStatusLightTest)
#include "SxStatusLightTest.moc"
