#include "frame_painter.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

// 5x7 pixel digits, one byte per row, bit 4 is the leftmost column.
const uint8_t kDigits[10][7] = {
    {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}, {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E},
    {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}, {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E},
    {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}, {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E},
    {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}, {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08},
    {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}, {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C},
};

void Put(RgbImage& img, int x, int y, uint8_t r, uint8_t g, uint8_t b) {
    if (x < 0 || y < 0 || x >= img.nWidth || y >= img.nHeight) {
        return;
    }
    uint8_t* p = &img.pixels[(static_cast<size_t>(y) * img.nWidth + x) * 3];
    p[0] = r;
    p[1] = g;
    p[2] = b;
}

void FillRect(RgbImage& img, int x0, int y0, int w, int h, uint8_t r, uint8_t g, uint8_t b) {
    for (int y = y0; y < y0 + h; ++y) {
        for (int x = x0; x < x0 + w; ++x) {
            Put(img, x, y, r, g, b);
        }
    }
}

void DrawNumber(RgbImage& img, int x0, int y0, int nScale, const char* pszDigits) {
    const int nCell = 6 * nScale;
    const int nLen = static_cast<int>(std::strlen(pszDigits));
    FillRect(img, x0 - nScale, y0 - nScale, nLen * nCell + nScale, 9 * nScale, 0, 0, 0);
    for (int i = 0; i < nLen; ++i) {
        const uint8_t* glyph = kDigits[pszDigits[i] - '0'];
        for (int row = 0; row < 7; ++row) {
            for (int col = 0; col < 5; ++col) {
                if (glyph[row] & (0x10 >> col)) {
                    FillRect(img, x0 + i * nCell + col * nScale, y0 + row * nScale, nScale, nScale,
                             255, 255, 255);
                }
            }
        }
    }
}

// Position on a back-and-forth path of the given length.
int Bounce(unsigned nStep, int nLength) {
    if (nLength <= 0) {
        return 0;
    }
    const unsigned nPeriod = 2u * static_cast<unsigned>(nLength);
    const int nPos = static_cast<int>(nStep % nPeriod);
    return nPos < nLength ? nPos : static_cast<int>(nPeriod) - nPos;
}

} // namespace

RgbImage PaintFrame(int nWidth, int nHeight, unsigned nFrame) {
    RgbImage img;
    img.nWidth = nWidth;
    img.nHeight = nHeight;
    img.pixels.resize(static_cast<size_t>(nWidth) * nHeight * 3);

    // A diagonal colour gradient that drifts with the frame number.
    for (int y = 0; y < nHeight; ++y) {
        for (int x = 0; x < nWidth; ++x) {
            const unsigned v = static_cast<unsigned>(x + y) + nFrame * 3;
            Put(img, x, y, static_cast<uint8_t>(40 + (v % 160)),
                static_cast<uint8_t>(60 + (y * 120) / std::max(1, nHeight)),
                static_cast<uint8_t>(200 - (x * 120) / std::max(1, nWidth)));
        }
    }

    // A square bouncing across the picture.
    const int nSide = std::max(8, nHeight / 5);
    const int bx = Bounce(nFrame * 7, nWidth - nSide);
    const int by = Bounce(nFrame * 5, nHeight - nSide);
    FillRect(img, bx, by, nSide, nSide, 250, 200, 30);

    char szDigits[16];
    std::snprintf(szDigits, sizeof(szDigits), "%06u", nFrame % 1000000u);
    const int nScale = std::max(1, nHeight / 80);
    DrawNumber(img, 2 * nScale, 2 * nScale, nScale, szDigits);
    return img;
}
