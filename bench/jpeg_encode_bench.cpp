// The cost of turning one decoded 1280 x 720 frame into a JPEG, on the
// simulated camera's picture: the way OpenCV did it (the decoder's YUV
// converted to BGR, then cv::imencode, which converts back to YCbCr) against
// the planes handed to libjpeg as they are (the range expanded on the way
// into the picture, then encode_jpeg). Prints CPU milliseconds per frame, JPEG sizes and how
// close each JPEG is to the picture (PSNR).
//
//   jpeg_encode_bench [FRAMES]
#include <time.h>

extern "C" {
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include <cstdio>
#include <cstdlib>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "frame_reader.h"
#include "jpeg_encoder.h"
#include "picture.h"
#include "scene.h"

namespace {

double cpu_ms()
{
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

SwsContext *scaler(AVPixelFormat from, int from_range, AVPixelFormat to, int to_range)
{
    SwsContext *context = sws_alloc_context();
    av_opt_set_int(context, "srcw", 1280, 0);
    av_opt_set_int(context, "srch", 720, 0);
    av_opt_set_int(context, "src_format", from, 0);
    av_opt_set_int(context, "src_range", from_range, 0);
    av_opt_set_int(context, "dstw", 1280, 0);
    av_opt_set_int(context, "dsth", 720, 0);
    av_opt_set_int(context, "dst_format", to, 0);
    av_opt_set_int(context, "dst_range", to_range, 0);
    av_opt_set_int(context, "sws_flags", SWS_BICUBIC, 0);
    if (sws_init_context(context, nullptr, nullptr) < 0)
        abort();
    return context;
}

}  // namespace

int main(int argc, char **argv)
{
    int frames = argc > 1 ? atoi(argv[1]) : 300;
    SceneRenderer scene(1280, 720);
    cv::Mat source = scene.render(1700049600000, 1, SimCameraView{}).clone();

    // The decoder's frame: limited-range planar YUV, as H.264 carries it.
    Picture decoded(1280, 720);
    uint8_t *planes[4] = {decoded.y.data, decoded.u.data, decoded.v.data, nullptr};
    int strides[4] = {1280, 640, 640, 0};
    const uint8_t *bgr_plane[4] = {source.data, nullptr, nullptr, nullptr};
    int bgr_stride[4] = {static_cast<int>(source.step), 0, 0, 0};
    SwsContext *to_yuv = scaler(AV_PIX_FMT_BGR24, 1, AV_PIX_FMT_YUV420P, 0);
    sws_scale(to_yuv, bgr_plane, bgr_stride, 0, 720, planes, strides);
    const uint8_t *decoded_planes[4] = {planes[0], planes[1], planes[2], nullptr};

    // OpenCV's way.
    SwsContext *to_bgr = scaler(AV_PIX_FMT_YUV420P, 0, AV_PIX_FMT_BGR24, 1);
    cv::Mat bgr(720, 1280, CV_8UC3), resized;
    std::vector<uchar> old_jpeg;
    double start = cpu_ms();
    for (int i = 0; i < frames; ++i) {
        uint8_t *out[4] = {bgr.data, nullptr, nullptr, nullptr};
        int out_stride[4] = {static_cast<int>(bgr.step), 0, 0, 0};
        sws_scale(to_bgr, decoded_planes, strides, 0, 720, out, out_stride);
        cv::resize(bgr, resized, cv::Size(1280, 720), 0, 0, cv::INTER_LINEAR);
        cv::imencode(".jpg", resized, old_jpeg, {cv::IMWRITE_JPEG_QUALITY, 55});
    }
    double old_ms = (cpu_ms() - start) / frames;

    // Planes as they are.
    Picture picture(1280, 720);
    std::vector<uint8_t> new_jpeg;
    start = cpu_ms();
    for (int i = 0; i < frames; ++i) {
        copy_to_full_range(decoded_planes, strides, false, picture);
        encode_jpeg(picture, 55, new_jpeg);
    }
    double new_ms = (cpu_ms() - start) / frames;

    double old_psnr = cv::PSNR(cv::imdecode(old_jpeg, cv::IMREAD_COLOR), source);
    double new_psnr = cv::PSNR(cv::imdecode(new_jpeg, cv::IMREAD_COLOR), source);
    printf("frames=%d bgr_imencode_ms=%.3f yuv_raw_ms=%.3f ratio=%.2f bgr_jpeg_bytes=%zu yuv_jpeg_bytes=%zu "
           "bgr_psnr_db=%.2f yuv_psnr_db=%.2f\n",
           frames, old_ms, new_ms, new_ms / old_ms, old_jpeg.size(), new_jpeg.size(), old_psnr, new_psnr);
    sws_freeContext(to_yuv);
    sws_freeContext(to_bgr);
    return 0;
}
