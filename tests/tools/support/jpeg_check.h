// Checks that bytes are a complete, decodable JPEG picture (libjpeg).
#ifndef OXR_TOOLS_TEST_JPEG_CHECK_H
#define OXR_TOOLS_TEST_JPEG_CHECK_H

#include <string>

struct JpegInfo {
    bool bValid = false; // every scan line decoded without a libjpeg error or warning
    int nWidth = 0;
    int nHeight = 0;
    std::string comment; // the first COM marker, if any
    std::string error;
};

JpegInfo DecodeJpeg(const std::string& bytes);
JpegInfo DecodeJpegFile(const std::string& path);

#endif
