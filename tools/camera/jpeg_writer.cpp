#include "jpeg_writer.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>

#include <jpeglib.h>

namespace {

// libjpeg reports fatal errors through error_exit, which must not return.
struct ErrorTrap {
    jpeg_error_mgr mgr;
    std::jmp_buf jump;
};

void OnError(j_common_ptr cinfo) {
    ErrorTrap* trap = reinterpret_cast<ErrorTrap*>(cinfo->err);
    std::longjmp(trap->jump, 1);
}

} // namespace

std::vector<uint8_t> EncodeJpeg(const RgbImage& img, int nQuality, const std::string& comment) {
    std::vector<uint8_t> out;
    if (img.nWidth <= 0 || img.nHeight <= 0 ||
        img.pixels.size() != static_cast<size_t>(img.nWidth) * img.nHeight * 3) {
        return out;
    }
    jpeg_compress_struct cinfo;
    ErrorTrap trap;
    cinfo.err = jpeg_std_error(&trap.mgr);
    trap.mgr.error_exit = OnError;
    unsigned char* pBuf = nullptr;
    unsigned long nSize = 0;
    if (setjmp(trap.jump) != 0) {
        jpeg_destroy_compress(&cinfo);
        std::free(pBuf);
        return {};
    }
    jpeg_create_compress(&cinfo);
    jpeg_mem_dest(&cinfo, &pBuf, &nSize);
    cinfo.image_width = static_cast<JDIMENSION>(img.nWidth);
    cinfo.image_height = static_cast<JDIMENSION>(img.nHeight);
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, nQuality, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    if (!comment.empty()) {
        jpeg_write_marker(&cinfo, JPEG_COM, reinterpret_cast<const JOCTET*>(comment.data()),
                          static_cast<unsigned>(comment.size()));
    }
    const int nStride = img.nWidth * 3;
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(&img.pixels[cinfo.next_scanline * nStride]);
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    out.assign(pBuf, pBuf + nSize);
    jpeg_destroy_compress(&cinfo);
    std::free(pBuf);
    return out;
}
