// The libjpeg picture decoder and the image window, on good and damaged files.

#include "pages/JpegImage.h"
#include "pages/Unit11.h"
#include "platform/Files.h"
#include "platform/Paths.h"

#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>
#include <jpeglib.h>

namespace {

// A JPEG of the given size, red on the left half and blue on the right (gray: dark left, light right).
std::string MakeJpeg(int width, int height, bool gray = false) {
    jpeg_compress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &buffer, &size);
    cinfo.image_width = JDIMENSION(width);
    cinfo.image_height = JDIMENSION(height);
    cinfo.input_components = gray ? 1 : 3;
    cinfo.in_color_space = gray ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, 95, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    std::vector<unsigned char> row(std::size_t(width) * (gray ? 1 : 3));
    for (int x = 0; x < width; ++x) {
        const bool left = x < width / 2;
        if (gray) {
            row[x] = left ? 30 : 220;
        } else {
            row[3 * x] = left ? 255 : 0;
            row[3 * x + 1] = 0;
            row[3 * x + 2] = left ? 0 : 255;
        }
    }
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW r = row.data();
        jpeg_write_scanlines(&cinfo, &r, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    std::string bytes(reinterpret_cast<char*>(buffer), size);
    std::free(buffer);
    return bytes;
}

// A small picture (16 x 16, CMYK or gray, progressive or not) whose frame header then claims another size:
// the shape of a picture bomb, a few hundred bytes that ask for gigabytes.
std::string MakeClaimingJpeg(bool cmyk, bool progressive, unsigned claimWidth, unsigned claimHeight,
                             bool arithmetic = false) {
    jpeg_compress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &buffer, &size);
    cinfo.image_width = 16;
    cinfo.image_height = 16;
    cinfo.input_components = cmyk ? 4 : 1;
    cinfo.in_color_space = cmyk ? JCS_CMYK : JCS_GRAYSCALE;
    jpeg_set_defaults(&cinfo);
    if (progressive) jpeg_simple_progression(&cinfo);
    cinfo.arith_code = arithmetic;
    jpeg_start_compress(&cinfo, TRUE);
    std::vector<unsigned char> row(16 * std::size_t(cinfo.input_components), 90);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW r = row.data();
        jpeg_write_scanlines(&cinfo, &r, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    std::string bytes(reinterpret_cast<char*>(buffer), size);
    std::free(buffer);
    for (std::size_t i = 2; i + 9 < bytes.size(); ++i)
        if (uchar(bytes[i]) == 0xFF && (uchar(bytes[i + 1]) == 0xC0 || uchar(bytes[i + 1]) == 0xC2 ||
                                        uchar(bytes[i + 1]) == 0xC9 || uchar(bytes[i + 1]) == 0xCA)) {
            bytes[i + 5] = char(claimHeight >> 8);
            bytes[i + 6] = char(claimHeight & 0xFF);
            bytes[i + 7] = char(claimWidth >> 8);
            bytes[i + 8] = char(claimWidth & 0xFF);
            break;
        }
    return bytes;
}

} // namespace

class TestPictures : public QObject {
    Q_OBJECT
private slots:
    void decodesColourAndGrayPictures() {
        std::string error;
        const QImage colour = pics::DecodeJpeg(MakeJpeg(64, 48), error);
        QVERIFY2(!colour.isNull(), error.c_str());
        QCOMPARE(colour.size(), QSize(64, 48));
        const QColor left = colour.pixelColor(8, 24), right = colour.pixelColor(56, 24);
        QVERIFY(left.red() > 200 && left.blue() < 60);
        QVERIFY(right.blue() > 200 && right.red() < 60);

        const QImage gray = pics::DecodeJpeg(MakeJpeg(40, 30, true), error);
        QVERIFY2(!gray.isNull(), error.c_str());
        QVERIFY(qGray(gray.pixel(5, 15)) < 60);
        QVERIFY(qGray(gray.pixel(35, 15)) > 190);
    }

    // Stray bytes before a marker are skipped by the decoder with a warning; the picture is whole and is
    // shown. So is one that names a later JFIF version.
    void acceptsHarmlessIrregularities() {
        const std::string good = MakeJpeg(64, 48);
        QVERIFY(good.size() > 4 && good.compare(good.size() - 2, 2, "\xFF\xD9") == 0);
        std::string padded = good;
        const std::size_t sos = padded.find("\xFF\xDA");
        QVERIFY(sos != std::string::npos);
        padded.insert(sos, std::string("\x00\x00\x00", 3));
        std::string jfif2 = good;
        const std::size_t app0 = jfif2.find("JFIF");
        QVERIFY(app0 != std::string::npos);
        jfif2[app0 + 5] = 2; // major version
        for (const std::string& bytes : {padded, jfif2}) {
            std::string error;
            const QImage image = pics::DecodeJpeg(bytes, error);
            QVERIFY2(!image.isNull(), error.c_str());
            QCOMPARE(image.size(), QSize(64, 48));
            QVERIFY(image.pixelColor(8, 24).red() > 200);
        }
    }

    void refusesDamagedData_data() {
        QTest::addColumn<QByteArray>("bytes");
        const std::string good = MakeJpeg(64, 48);
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("text") << QByteArray("Kein Bild, nur Text\r\n");
        QTest::newRow("header only") << QByteArray(good.data(), 20);
        QTest::newRow("truncated in the scan") << QByteArray(good.data(), int(good.size() * 2 / 3));
        QByteArray garbled(good.data(), int(good.size()));
        for (int i = garbled.size() / 2; i < garbled.size() - 2; ++i)
            garbled[i] = char(0xFF);
        QTest::newRow("scan overwritten") << garbled;
        QByteArray soiThenNoise("\xFF\xD8", 2);
        for (int i = 0; i < 4000; ++i)
            soiThenNoise.append(char((i * 7919) & 0xFF));
        QTest::newRow("start marker then noise") << soiThenNoise;
    }
    void refusesDamagedData() {
        QFETCH(QByteArray, bytes);
        std::string error;
        const QImage image = pics::DecodeJpeg(bytes.toStdString(), error);
        QVERIFY(image.isNull());
        QVERIFY(!error.empty());
    }

    // A picture that claims far more than its bytes can hold is refused before memory is taken for it: by
    // the memory its decode would need (progressive pictures keep every coefficient), or, under that cap,
    // because its data is far smaller than its claim. The picture the claim was patched into still decodes.
    void refusesPictureBombs_data() {
        QTest::addColumn<bool>("cmyk");
        QTest::addColumn<bool>("progressive");
        QTest::addColumn<uint>("side");
        QTest::addColumn<QString>("message");
        QTest::addColumn<bool>("arithmetic");
        QTest::newRow("progressive CMYK 14000") << true << true << 14000u << QString("JPEG-Bild ist zu gross") << false;
        QTest::newRow("baseline CMYK 14000") << true << false << 14000u << QString("JPEG-Bild ist zu gross") << false;
        QTest::newRow("progressive gray 14000") << false << true << 14000u << QString("JPEG-Bild ist zu gross") << false;
        QTest::newRow("baseline gray 14000") << false << false << 14000u << QString::fromUtf8("für 14000x14000") << false;
        QTest::newRow("progressive gray 6000") << false << true << 6000u << QString::fromUtf8("für 6000x6000") << false;
        QTest::newRow("arithmetic gray 14000") << false << false << 14000u << QString::fromUtf8("für 14000x14000") << true;
        QTest::newRow("arithmetic progressive gray 6000") << false << true << 6000u << QString::fromUtf8("für 6000x6000") << true;
    }
    void refusesPictureBombs() {
        QFETCH(bool, cmyk);
        QFETCH(bool, progressive);
        QFETCH(uint, side);
        QFETCH(QString, message);
        QFETCH(bool, arithmetic);
        std::string error;
        QVERIFY(!pics::DecodeJpeg(MakeClaimingJpeg(cmyk, progressive, 16, 16, arithmetic), error).isNull());
        const std::string bomb = MakeClaimingJpeg(cmyk, progressive, side, side, arithmetic);
        QVERIFY(bomb.size() < 2000);
        QVERIFY(pics::DecodeJpeg(bomb, error).isNull());
        QVERIFY2(QString::fromLatin1(error.c_str()).contains(message), error.c_str());
    }

    // The image window: a good picture is scaled into the view keeping its aspect ratio; a bad one
    // raises a message and leaves no picture behind.
    void imageWindowLoadsAndScales() {
        QTemporaryDir dir;
        const std::string root = plat::FromHostPath(dir.path().toStdString());
        plat::WriteFileAtomic(root + "\\big.jpg", MakeJpeg(800, 400));
        plat::WriteFileAtomic(root + "\\bad.jpg", "GIF89a is not what this is");
        TForm11 form;
        form.resize(300, 300);
        form.show();
        form.LoadPicture(root + "\\big.jpg");
        QCOMPARE(form.Image1->Picture().size(), QSize(800, 400));
        const QRect r = form.Image1->PictureRect();
        QVERIFY(r.width() <= form.Image1->width() && r.height() <= form.Image1->height());
        QCOMPARE(r.width(), form.Image1->width());
        QVERIFY(qAbs(r.width() - 2 * r.height()) <= 2);

        QVERIFY_THROWS_EXCEPTION(std::runtime_error, form.LoadPicture(root + "\\bad.jpg"));
        QVERIFY(form.Image1->Picture().isNull());
        QVERIFY_THROWS_EXCEPTION(std::runtime_error, form.LoadPicture(root + "\\missing.jpg"));

        // A PNG named ".jpg" is refused; under its own name Qt shows it.
        QImage png(10, 10, QImage::Format_RGB32);
        png.fill(Qt::red);
        QVERIFY(png.save(QString::fromStdString(dir.path().toStdString() + "/bild.jpg"), "PNG"));
        QVERIFY(png.save(QString::fromStdString(dir.path().toStdString() + "/bild.png"), "PNG"));
        QVERIFY_THROWS_EXCEPTION(std::runtime_error, form.LoadPicture(root + "\\bild.jpg"));
        form.LoadPicture(root + "\\bild.png");
        QCOMPARE(form.Image1->Picture().size(), QSize(10, 10));
    }
};

QTEST_MAIN(TestPictures)
#include "tst_Pictures.moc"
