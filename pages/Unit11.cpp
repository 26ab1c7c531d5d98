#include "pages/Unit11.h"

#include "pages/JpegImage.h"

#include <QPainter>
#include <QToolBar>
#include <QVBoxLayout>

TForm11* Form11 = nullptr;

TImage::TImage(QWidget* parent) : QWidget(parent) {}

void TImage::SetPicture(const QImage& image) {
    Image = image;
    update();
}

QRect TImage::PictureRect() const {
    if (Image.isNull()) return {};
    QSize size = Image.size();
    if (size.width() > width() || size.height() > height()) size.scale(this->size(), Qt::KeepAspectRatio);
    return QRect(QPoint((width() - size.width()) / 2, (height() - size.height()) / 2), size);
}

void TImage::paintEvent(QPaintEvent*) {
    if (Image.isNull()) return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(PictureRect(), Image);
}

TForm11::TForm11(QWidget* parent) : QWidget(parent) {
    setObjectName("Form11");
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    ToolBar1 = new QToolBar(this);
    ToolBar1->setObjectName("ToolBar1");
    Image1 = new TImage(this);
    Image1->setObjectName("Image1");
    layout->addWidget(ToolBar1);
    layout->addWidget(Image1, 1);
}

void TForm11::LoadPicture(const std::string& toolPath) {
    Image1->SetPicture({});
    Image1->SetPicture(pics::LoadPicture(toolPath));
}
