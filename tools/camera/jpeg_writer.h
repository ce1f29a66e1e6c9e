// JPEG encoding of the demo camera's pictures (libjpeg-turbo).
#ifndef OXR_DEMO_JPEG_WRITER_H
#define OXR_DEMO_JPEG_WRITER_H

#include <cstdint>
#include <string>
#include <vector>

#include "frame_painter.h"

// Encodes the picture at the given quality (1 to 100). A non-empty comment is
// stored in a COM marker; the camera puts the send time there so a receiver
// can measure how long a frame took to arrive. Empty on failure.
std::vector<uint8_t> EncodeJpeg(const RgbImage& img, int nQuality, const std::string& comment);

#endif
