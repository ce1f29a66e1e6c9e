// Draws the demo camera's test picture: a moving scene with the frame number
// written into it, so a viewer (or a test) can tell frames apart.
#ifndef OXR_DEMO_FRAME_PAINTER_H
#define OXR_DEMO_FRAME_PAINTER_H

#include <cstdint>
#include <vector>

struct RgbImage {
    int nWidth = 0;
    int nHeight = 0;
    std::vector<uint8_t> pixels; // nWidth * nHeight * 3 bytes, rows top to bottom
};

// Paints frame number nFrame (0 and up) at the given size; the scene moves
// with the frame number, the number itself is drawn in the top left corner.
RgbImage PaintFrame(int nWidth, int nHeight, unsigned nFrame);

#endif
