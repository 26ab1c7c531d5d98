#include "pages/JpegImage.h"

#include <algorithm>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include <jpeglib.h>
// after jpeglib.h, which it needs
#include <jerror.h>

#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/Text.h"

namespace pics {
namespace {

// Memory a picture may take while it is decoded (the image itself and libjpeg's buffers, among them the
// coefficients of every block that a progressive picture keeps until its last scan). Larger pictures are
// refused before memory is taken for them; libjpeg's own allocations are capped at the same figure.
constexpr unsigned long long MaxDecodeBytes = 384ull * 1024 * 1024;

struct ErrorManager {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
    bool warned;
};

extern "C" void OnJpegError(j_common_ptr info) {
    auto* err = reinterpret_cast<ErrorManager*>(info->err);
    (*info->err->format_message)(info, err->message);
    std::longjmp(err->jump, 1);
}

// Warnings mean damaged data (a truncated file, a broken entropy segment): libjpeg would fill the
// rest with grey; we refuse the picture instead of showing half of it. Two warnings leave the pixels
// whole and are common in pictures from cameras and editors: stray bytes skipped before a marker, and
// a later JFIF version number.
extern "C" void OnJpegMessage(j_common_ptr info, int level) {
    auto* err = reinterpret_cast<ErrorManager*>(info->err);
    const int code = info->err->msg_code;
    if (level < 0 && code != JWRN_EXTRANEOUS_DATA && code != JWRN_JFIF_MAJOR && !err->warned) {
        err->warned = true;
        (*info->err->format_message)(info, err->message);
    }
}

enum class Outcome { Ok, Failed, Damaged, TooLarge };

struct Claim {
    unsigned long long bytes = 0;        // memory the decode would take
    unsigned long long minDataBytes = 0; // the least entropy-coded data that can describe the picture
};

// What the header claims, before anything is decoded (block counts are known after jpeg_read_header).
Claim ClaimOf(const jpeg_decompress_struct& cinfo, int outBytesPerPixel) {
    Claim c;
    const unsigned long long w = cinfo.image_width, h = cinfo.image_height;
    c.bytes = w * h * unsigned(outBytesPerPixel) + (w + 8) * 64 * unsigned(cinfo.num_components);
    unsigned long long fullest = 0;
    for (int i = 0; i < cinfo.num_components; ++i) {
        const jpeg_component_info& comp = cinfo.comp_info[i];
        const unsigned long long blocks =
            static_cast<unsigned long long>(comp.width_in_blocks) * comp.height_in_blocks;
        fullest = std::max(fullest, blocks);
        // A progressive (multi-scan) picture keeps every coefficient: 64 of 2 bytes per block.
        if (jpeg_has_multiple_scans(const_cast<j_decompress_ptr>(&cinfo))) c.bytes += blocks * 128;
    }
    c.minDataBytes = fullest / 8;
    return c;
}

// All libjpeg calls live here: the frame that holds the jump target has only trivial locals, so
// nothing is skipped by the jump. The image is allocated by the caller's object through a pointer.
Outcome Decode(const unsigned char* data, unsigned long size, QImage* image, ErrorManager* err) {
    jpeg_decompress_struct cinfo;
    std::memset(&cinfo, 0, sizeof cinfo);
    cinfo.err = jpeg_std_error(&err->pub);
    err->pub.error_exit = OnJpegError;
    err->pub.emit_message = OnJpegMessage;
    err->warned = false;
    err->message[0] = 0;
    if (setjmp(err->jump)) {
        jpeg_destroy_decompress(&cinfo);
        return Outcome::Failed;
    }
    jpeg_create_decompress(&cinfo);
    cinfo.mem->max_memory_to_use = long(MaxDecodeBytes);
    jpeg_mem_src(&cinfo, data, size);
    jpeg_read_header(&cinfo, TRUE);
    const bool cmyk = cinfo.jpeg_color_space == JCS_CMYK || cinfo.jpeg_color_space == JCS_YCCK;
    const bool gray = cinfo.jpeg_color_space == JCS_GRAYSCALE;
    const Claim claim = ClaimOf(cinfo, cmyk ? 4 : gray ? 1 : 3);
    if (claim.bytes > MaxDecodeBytes) {
        jpeg_destroy_decompress(&cinfo);
        return Outcome::TooLarge;
    }
    // Huffman-coded data needs at least one bit per block of the fullest component; a file far smaller
    // than its claim is damaged (or made to exhaust memory) and is refused before the decode. The same
    // holds for arithmetic coding: it could go below a bit per block only for a picture flat almost
    // throughout, and where its data ends early its decoder goes on without a word, showing stripes.
    if (size < claim.minDataBytes) {
        std::snprintf(err->message, sizeof err->message, "%lu Bytes f\xFCr %ux%u Bildpunkte", size,
                      unsigned(cinfo.image_width), unsigned(cinfo.image_height));
        jpeg_destroy_decompress(&cinfo);
        return Outcome::Damaged;
    }
    cinfo.out_color_space = cmyk ? JCS_CMYK : gray ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_start_decompress(&cinfo);
    *image = QImage(int(cinfo.output_width), int(cinfo.output_height),
                    cmyk   ? QImage::Format_ARGB32
                    : gray ? QImage::Format_Grayscale8
                           : QImage::Format_RGB888);
    if (image->isNull()) {
        jpeg_destroy_decompress(&cinfo);
        return Outcome::TooLarge;
    }
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = image->scanLine(int(cinfo.output_scanline));
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    if (cmyk) {
        // Adobe writes CMYK inverted; four bytes per pixel become one opaque RGB value in place.
        for (int y = 0; y < image->height(); ++y) {
            uchar* line = image->scanLine(y);
            auto* out = reinterpret_cast<QRgb*>(line);
            for (int x = 0; x < image->width(); ++x) {
                const int c = line[4 * x], m = line[4 * x + 1], ye = line[4 * x + 2], k = line[4 * x + 3];
                out[x] = qRgb(c * k / 255, m * k / 255, ye * k / 255);
            }
        }
    }
    return err->warned ? Outcome::Damaged : Outcome::Ok;
}

} // namespace

QImage DecodeJpeg(const std::string& bytes, std::string& error) {
    error.clear();
    if (bytes.size() < 4 || static_cast<unsigned char>(bytes[0]) != 0xFF ||
        static_cast<unsigned char>(bytes[1]) != 0xD8) {
        error = "Keine JPEG-Datei";
        return {};
    }
    QImage image;
    ErrorManager err;
    switch (Decode(reinterpret_cast<const unsigned char*>(bytes.data()),
                   static_cast<unsigned long>(bytes.size()), &image, &err)) {
    case Outcome::Ok:
        return image;
    case Outcome::TooLarge:
        error = "JPEG-Bild ist zu gross";
        return {};
    case Outcome::Damaged:
        error = std::string("JPEG-Datei ist besch\xE4"
                            "digt oder unvollst\xE4"
                            "ndig (") +
                err.message + ")";
        return {};
    case Outcome::Failed:
        break;
    }
    error = std::string("JPEG-Datei kann nicht gelesen werden (") + err.message + ")";
    return {};
}

QImage LoadPicture(const std::string& toolPath) {
    const std::string bytes = plat::ReadFileBytes(toolPath); // FileError: missing or unreadable
    std::string error;
    QImage image;
    const std::string ext = plat::AnsiLowerCase(plat::ExtractFileExt(toolPath));
    const bool jpegSignature = bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
                               static_cast<unsigned char>(bytes[1]) == 0xD8;
    if (jpegSignature || ext == ".jpg" || ext == ".jpeg") {
        // A file named as a JPEG must be one: anything else in it is reported, not guessed at.
        image = DecodeJpeg(bytes, error);
    } else {
        image = QImage::fromData(reinterpret_cast<const uchar*>(bytes.data()),
                                 int(std::min<std::size_t>(bytes.size(), INT32_MAX)));
        if (image.isNull()) error = "Kein lesbares Bildformat";
    }
    if (image.isNull())
        throw std::runtime_error("Bild \"" + toolPath + "\" kann nicht angezeigt werden: " + error);
    return image;
}

} // namespace pics
