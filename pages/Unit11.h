#pragma once
// The image window: shows a picture file; a picture larger than the view is scaled down to fit,
// keeping its aspect ratio.

#include <QImage>
#include <QWidget>

class QToolBar;

// The picture area: paints its image at natural size, or scaled down to fit, centred.
class TImage : public QWidget {
    Q_OBJECT
public:
    explicit TImage(QWidget* parent = nullptr);
    void SetPicture(const QImage& image);
    const QImage& Picture() const { return Image; }
    // The rectangle the picture is drawn into for the current size.
    QRect PictureRect() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QImage Image;
};

class TForm11 : public QWidget {
    Q_OBJECT
public:
    explicit TForm11(QWidget* parent = nullptr);

    // Loads the picture at a tool-family path into Image1 (JPEG through libjpeg). On failure the old
    // picture is cleared and std::runtime_error carries a German message.
    void LoadPicture(const std::string& toolPath);

    QToolBar* ToolBar1;
    TImage* Image1;
};

extern TForm11* Form11;
