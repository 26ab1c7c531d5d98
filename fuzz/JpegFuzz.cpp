// The picture loader's JPEG decoder on arbitrary bytes: it must answer with a picture or a German message,
// never crash, and never take more memory than its own cap allows (run with -rss_limit_mb and
// -malloc_limit_mb, as the CI does, so a picture that claims more than its data can hold is seen).
// A picture it accepts has the size its header claims and is within the decoder's memory cap.

#include "pages/JpegImage.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    std::string error;
    const QImage image = pics::DecodeJpeg(bytes, error);
    if (image.isNull() == error.empty()) {
        std::fprintf(stderr, "a picture and a message, or neither: \"%s\"\n", error.c_str());
        std::abort();
    }
    if (!image.isNull() && (image.width() <= 0 || image.height() <= 0 ||
                            uint64_t(image.sizeInBytes()) > 384ull * 1024 * 1024)) {
        std::fprintf(stderr, "accepted picture out of bounds\n");
        std::abort();
    }
    return 0;
}
