#include "jpeg_encoder.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>

#include <jpeglib.h>

namespace {

struct ErrorJump {
    jpeg_error_mgr manager;
    jmp_buf jump;
};

// libjpeg's default ends the process on an error.
void error_exit(j_common_ptr info)
{
    longjmp(reinterpret_cast<ErrorJump *>(info->err)->jump, 1);
}

// Writes into the vector directly, growing it as libjpeg asks.
struct VectorDestination {
    jpeg_destination_mgr manager;
    std::vector<uint8_t> *out;
};

void init_destination(j_compress_ptr info)
{
    auto *dest = reinterpret_cast<VectorDestination *>(info->dest);
    // About what a 1280 x 720 picture takes at the quality we use.
    dest->out->resize(std::max<size_t>(dest->out->capacity(), 128 * 1024));
    dest->manager.next_output_byte = dest->out->data();
    dest->manager.free_in_buffer = dest->out->size();
}

boolean empty_output_buffer(j_compress_ptr info)
{
    auto *dest = reinterpret_cast<VectorDestination *>(info->dest);
    size_t used = dest->out->size();
    dest->out->resize(used * 2);
    dest->manager.next_output_byte = dest->out->data() + used;
    dest->manager.free_in_buffer = dest->out->size() - used;
    return TRUE;
}

void term_destination(j_compress_ptr info)
{
    auto *dest = reinterpret_cast<VectorDestination *>(info->dest);
    dest->out->resize(dest->out->size() - dest->manager.free_in_buffer);
}

}  // namespace

bool encode_jpeg(const Picture &picture, int quality, std::vector<uint8_t> &jpeg)
{
    jpeg_compress_struct info;
    ErrorJump error;
    info.err = jpeg_std_error(&error.manager);
    error.manager.error_exit = error_exit;
    if (setjmp(error.jump)) {
        jpeg_destroy_compress(&info);
        jpeg.clear();
        return false;
    }
    jpeg_create_compress(&info);
    VectorDestination destination{{}, &jpeg};
    destination.manager.init_destination = init_destination;
    destination.manager.empty_output_buffer = empty_output_buffer;
    destination.manager.term_destination = term_destination;
    info.dest = &destination.manager;

    info.image_width = static_cast<JDIMENSION>(picture.width());
    info.image_height = static_cast<JDIMENSION>(picture.height());
    info.input_components = 3;
    info.in_color_space = JCS_YCbCr;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, quality, TRUE);
    info.raw_data_in = TRUE;
    info.comp_info[0].h_samp_factor = info.comp_info[0].v_samp_factor = 2;
    for (int c = 1; c < 3; ++c)
        info.comp_info[c].h_samp_factor = info.comp_info[c].v_samp_factor = 1;
    jpeg_start_compress(&info, TRUE);

    // libjpeg takes 16 luma rows and 8 chroma rows at a time; the last
    // rows repeat the picture's last row where the height falls short.
    JSAMPROW y_rows[16], u_rows[8], v_rows[8];
    JSAMPARRAY planes[3] = {y_rows, u_rows, v_rows};
    int height = picture.height();
    while (info.next_scanline < info.image_height) {
        int top = static_cast<int>(info.next_scanline);
        for (int i = 0; i < 16; ++i)
            y_rows[i] = const_cast<JSAMPROW>(picture.y.ptr(std::min(top + i, height - 1)));
        for (int i = 0; i < 8; ++i) {
            int row = std::min(top / 2 + i, height / 2 - 1);
            u_rows[i] = const_cast<JSAMPROW>(picture.u.ptr(row));
            v_rows[i] = const_cast<JSAMPROW>(picture.v.ptr(row));
        }
        jpeg_write_raw_data(&info, planes, 16);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    return true;
}
