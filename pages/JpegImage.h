#pragma once
// JPEG pictures decoded with libjpeg, and the picture loader of the image window.

#include <QImage>
#include <string>

namespace pics {

// Decodes a complete JPEG file held in memory. On failure returns a null image and sets error to a
// German description; never aborts the program, whatever the bytes are.
QImage DecodeJpeg(const std::string& bytes, std::string& error);

// Loads the picture at a tool-family path: a ".jpg"/".jpeg" file or JPEG content through DecodeJpeg,
// any other format Qt reads itself. Throws std::runtime_error with a German message when the file is missing,
// unreadable or not a picture.
QImage LoadPicture(const std::string& toolPath);

} // namespace pics
