#include "jpeg_check.h"

#include <csetjmp>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

#include <jpeglib.h>

namespace {

struct ErrorTrap {
    jpeg_error_mgr mgr;
    std::jmp_buf jump;
    char szMessage[JMSG_LENGTH_MAX];
    int nWarnings;
};

void OnError(j_common_ptr cinfo) {
    ErrorTrap* trap = reinterpret_cast<ErrorTrap*>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, trap->szMessage);
    std::longjmp(trap->jump, 1);
}

// Warnings (such as premature end of data) make a picture count as broken.
void OnMessage(j_common_ptr cinfo, int nLevel) {
    if (nLevel < 0) {
        ErrorTrap* trap = reinterpret_cast<ErrorTrap*>(cinfo->err);
        trap->nWarnings++;
        (*cinfo->err->format_message)(cinfo, trap->szMessage);
    }
}

} // namespace

JpegInfo DecodeJpeg(const std::string& bytes) {
    JpegInfo info;
    if (bytes.empty()) {
        info.error = "no data";
        return info;
    }
    jpeg_decompress_struct cinfo;
    ErrorTrap trap{};
    cinfo.err = jpeg_std_error(&trap.mgr);
    trap.mgr.error_exit = OnError;
    trap.mgr.emit_message = OnMessage;
    if (setjmp(trap.jump) != 0) {
        jpeg_destroy_decompress(&cinfo);
        info.bValid = false;
        info.error = trap.szMessage;
        return info;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_save_markers(&cinfo, JPEG_COM, 0xFFFF);
    jpeg_mem_src(&cinfo, reinterpret_cast<const unsigned char*>(bytes.data()),
                 static_cast<unsigned long>(bytes.size()));
    jpeg_read_header(&cinfo, TRUE);
    for (jpeg_saved_marker_ptr m = cinfo.marker_list; m != nullptr; m = m->next) {
        if (m->marker == JPEG_COM) {
            info.comment.assign(reinterpret_cast<const char*>(m->data), m->data_length);
            break;
        }
    }
    jpeg_start_decompress(&cinfo);
    std::vector<unsigned char> row(static_cast<size_t>(cinfo.output_width) *
                                   cinfo.output_components);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW p = row.data();
        jpeg_read_scanlines(&cinfo, &p, 1);
    }
    jpeg_finish_decompress(&cinfo);
    info.nWidth = static_cast<int>(cinfo.output_width);
    info.nHeight = static_cast<int>(cinfo.output_height);
    jpeg_destroy_decompress(&cinfo);
    info.bValid = trap.nWarnings == 0;
    if (!info.bValid) {
        info.error = trap.szMessage;
    }
    return info;
}

JpegInfo DecodeJpegFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        JpegInfo info;
        info.error = "cannot open " + path;
        return info;
    }
    return DecodeJpeg(std::string(std::istreambuf_iterator<char>(in), {}));
}
