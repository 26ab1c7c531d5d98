// The picture loader's JPEG decoder on arbitrary bytes: it must answer with a picture or a German message,
// never crash, and never take more memory than its own cap allows: the target runs with a memory limit
// (-rss_limit_mb=1024 -malloc_limit_mb=512 unless given otherwise), so a picture that makes the decoder
// take more than it should is reported as a failure.
// A picture it accepts has the size its header claims and is within the decoder's memory cap.

#include "pages/JpegImage.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// The memory limit, added to the command line when it names none.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    static std::vector<char*> args;
    bool rss = false, malloc = false;
    for (int i = 0; i < *argc; ++i) {
        rss = rss || std::strncmp((*argv)[i], "-rss_limit_mb=", 14) == 0;
        malloc = malloc || std::strncmp((*argv)[i], "-malloc_limit_mb=", 17) == 0;
    }
    args.assign(*argv, *argv + *argc);
    static char rssLimit[] = "-rss_limit_mb=1024";
    static char mallocLimit[] = "-malloc_limit_mb=512";
    // Flags go before the corpus folders: after the program name.
    if (!malloc) args.insert(args.begin() + 1, mallocLimit);
    if (!rss) args.insert(args.begin() + 1, rssLimit);
    args.push_back(nullptr);
    *argc = int(args.size() - 1);
    *argv = args.data();
    return 0;
}

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
