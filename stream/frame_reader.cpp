#include "frame_reader.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libavutil/time.h>
#include <libswscale/swscale.h>
}

#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>

#include "rtsp_client.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string av_text(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

// The deprecated full-range formats name a range, not a layout.
AVPixelFormat without_range(AVPixelFormat format, bool &full_range)
{
    switch (format) {
    case AV_PIX_FMT_YUVJ420P: full_range = true; return AV_PIX_FMT_YUV420P;
    case AV_PIX_FMT_YUVJ422P: full_range = true; return AV_PIX_FMT_YUV422P;
    case AV_PIX_FMT_YUVJ444P: full_range = true; return AV_PIX_FMT_YUV444P;
    case AV_PIX_FMT_YUVJ440P: full_range = true; return AV_PIX_FMT_YUV440P;
    case AV_PIX_FMT_YUVJ411P: full_range = true; return AV_PIX_FMT_YUV411P;
    default: return format;
    }
}

}  // namespace

void copy_to_full_range(const uint8_t *const planes[3], const int strides[3], bool full_range, Picture &picture)
{
    for (int i = 0; i < 3; ++i) {
        cv::Mat &to = i == 0 ? picture.y : i == 1 ? picture.u : picture.v;
        cv::Mat from(to.rows, to.cols, CV_8UC1, const_cast<uint8_t *>(planes[i]), static_cast<size_t>(strides[i]));
        if (full_range)
            from.copyTo(to);
        else if (i == 0)  // 16 to 235 onto 0 to 255
            from.convertTo(to, CV_8U, 255.0 / 219, -16 * 255.0 / 219);
        else  // 16 to 240 onto 0 to 255, 128 staying
            from.convertTo(to, CV_8U, 255.0 / 224, 128 - 128 * 255.0 / 224);
    }
}

struct FrameReader::State {
    std::function<bool()> interrupted;
    RtspClient rtsp;
    bool use_rtsp = false;
    AVFormatContext *format = nullptr;
    int stream_index = -1;
    bool drained = false;
    std::atomic<int64_t> deadline_us{0};  // of the libavformat call in progress
    AVCodecContext *decoder = nullptr;
    AVPacket *packet = nullptr;
    AVFrame *frame = nullptr;
    SwsContext *scaler = nullptr;
    std::array<int, 6> scaler_for{};  // source size, format and range, picture size
    std::string error;

    explicit State(std::function<bool()> stop) : interrupted(stop), rtsp(stop) {}

    bool fail(const std::string &why)
    {
        error = why;
        return false;
    }
    static int interrupt(void *opaque)
    {
        auto *self = static_cast<State *>(opaque);
        return self->interrupted() || av_gettime_relative() > self->deadline_us.load();
    }
    void arm(int timeout_ms) { deadline_us = av_gettime_relative() + int64_t{timeout_ms} * 1000; }

    std::string open_decoder(const AVCodecParameters *parameters, const std::vector<uint8_t> &extradata);
    std::string open_general(const std::string &url, int timeout_ms);
    bool decoded(Picture &picture);
    bool convert(Picture &picture);
    void close();
};

FrameReader::FrameReader(std::function<bool()> interrupted)
    : state_(std::make_unique<State>(std::move(interrupted)))
{
    // Decoder complaints about a damaged frame would flood standard error.
    static std::once_flag quiet;
    std::call_once(quiet, [] { av_log_set_level(AV_LOG_ERROR); });
}

FrameReader::~FrameReader() { close(); }

const std::string &FrameReader::error() const { return state_->error; }

void FrameReader::close() { state_->close(); }

void FrameReader::State::close()
{
    rtsp.close();
    avformat_close_input(&format);
    avcodec_free_context(&decoder);
    av_packet_free(&packet);
    av_frame_free(&frame);
    sws_freeContext(scaler);
    scaler = nullptr;
    use_rtsp = false;
    drained = false;
    stream_index = -1;
}

std::string FrameReader::open(const std::string &url, int timeout_ms)
{
    State &s = *state_;
    s.close();
    s.packet = av_packet_alloc();
    s.frame = av_frame_alloc();
    if (url.compare(0, 7, "rtsp://") == 0) {
        std::string why = s.rtsp.open(url, timeout_ms);
        if (why.empty()) {
            s.use_rtsp = true;
            AVCodecParameters *parameters = avcodec_parameters_alloc();
            parameters->codec_type = AVMEDIA_TYPE_VIDEO;
            parameters->codec_id = AV_CODEC_ID_H264;
            why = s.open_decoder(parameters, s.rtsp.video().parameter_sets);
            avcodec_parameters_free(&parameters);
        }
        if (why != RtspClient::unsupported) {
            if (!why.empty())
                s.close();
            return why;
        }
    }
    std::string why = s.open_general(url, timeout_ms);
    if (!why.empty())
        s.close();
    return why;
}

std::string FrameReader::State::open_general(const std::string &url, int timeout_ms)
{
    format = avformat_alloc_context();
    format->interrupt_callback = {&State::interrupt, this};
    AVDictionary *options = nullptr;
    av_dict_set(&options, "rtsp_transport", "tcp", 0);
    arm(timeout_ms);
    int result = avformat_open_input(&format, url.c_str(), nullptr, &options);
    av_dict_free(&options);
    if (result < 0)
        return av_text(result);  // the context is freed
    arm(timeout_ms);
    if ((result = avformat_find_stream_info(format, nullptr)) < 0)
        return av_text(result);
    stream_index = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (stream_index < 0)
        return "no video stream";
    return open_decoder(format->streams[stream_index]->codecpar, {});
}

std::string FrameReader::State::open_decoder(const AVCodecParameters *parameters,
                                             const std::vector<uint8_t> &extradata)
{
    const AVCodec *codec = avcodec_find_decoder(parameters->codec_id);
    if (!codec)
        return "no decoder for the stream";
    decoder = avcodec_alloc_context3(codec);
    avcodec_parameters_to_context(decoder, parameters);
    if (!extradata.empty()) {
        decoder->extradata = static_cast<uint8_t *>(av_mallocz(extradata.size() + AV_INPUT_BUFFER_PADDING_SIZE));
        memcpy(decoder->extradata, extradata.data(), extradata.size());
        decoder->extradata_size = static_cast<int>(extradata.size());
    }
    decoder->thread_count = 0;  // one per core
    decoder->thread_type = FF_THREAD_SLICE;
    decoder->flags |= AV_CODEC_FLAG_LOW_DELAY;
    int result = avcodec_open2(decoder, codec, nullptr);
    return result < 0 ? av_text(result) : "";
}

bool FrameReader::read(Picture &picture, int timeout_ms)
{
    State &s = *state_;
    if (!s.decoder)
        return s.fail("not open");
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (s.decoded(picture))
            return true;
        int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
        if (left <= 0)
            return s.fail("no frame in time");
        if (s.use_rtsp) {
            bool have = false;
            bool got = s.rtsp.read(left, [&](const uint8_t *data, size_t size) {
                if (av_new_packet(s.packet, static_cast<int>(size)) < 0)
                    return;
                memcpy(s.packet->data, data, size);
                avcodec_send_packet(s.decoder, s.packet);
                av_packet_unref(s.packet);
                // Two units in one read: the newer frame overwrites the older.
                have = s.decoded(picture) || have;
            });
            if (have)
                return true;
            if (!got)
                return s.fail(s.rtsp.error());
            continue;  // a unit without a frame yet (parameter sets, damage)
        }
        s.arm(left);
        int result = av_read_frame(s.format, s.packet);
        if (result == AVERROR_EOF && !s.drained) {
            s.drained = true;  // the frames the decoder still holds
            avcodec_send_packet(s.decoder, nullptr);
            continue;
        }
        if (result < 0)
            return s.fail(av_text(result));
        if (s.packet->stream_index == s.stream_index)
            avcodec_send_packet(s.decoder, s.packet);
        av_packet_unref(s.packet);
    }
}

// Takes a decoded frame, if the decoder has one, into the picture.
bool FrameReader::State::decoded(Picture &picture)
{
    if (avcodec_receive_frame(decoder, frame) < 0)
        return false;
    bool converted = convert(picture);
    av_frame_unref(frame);
    return converted;
}

bool FrameReader::State::convert(Picture &picture)
{
    bool full_range = frame->color_range == AVCOL_RANGE_JPEG;
    AVPixelFormat source = without_range(static_cast<AVPixelFormat>(frame->format), full_range);
    if (source == AV_PIX_FMT_YUV420P && frame->width == picture.width() && frame->height == picture.height()) {
        copy_to_full_range(frame->data, frame->linesize, full_range, picture);
        return true;
    }
    std::array<int, 6> wanted{frame->width, frame->height, source, full_range, picture.width(), picture.height()};
    if (!scaler || wanted != scaler_for) {
        // Bilinear, as the resize always was; range expansion in the same
        // pass. The ranges must be known before the scaler picks its path.
        sws_freeContext(scaler);
        scaler = sws_alloc_context();
        av_opt_set_int(scaler, "srcw", frame->width, 0);
        av_opt_set_int(scaler, "srch", frame->height, 0);
        av_opt_set_int(scaler, "src_format", source, 0);
        av_opt_set_int(scaler, "src_range", full_range, 0);
        av_opt_set_int(scaler, "dstw", picture.width(), 0);
        av_opt_set_int(scaler, "dsth", picture.height(), 0);
        av_opt_set_int(scaler, "dst_format", AV_PIX_FMT_YUV420P, 0);
        av_opt_set_int(scaler, "dst_range", 1, 0);
        av_opt_set_int(scaler, "sws_flags", SWS_BILINEAR, 0);
        if (sws_init_context(scaler, nullptr, nullptr) < 0) {
            sws_freeContext(scaler);
            scaler = nullptr;
            return fail("cannot convert frames of this format");
        }
        scaler_for = wanted;
    }
    uint8_t *planes[4] = {picture.y.data, picture.u.data, picture.v.data, nullptr};
    int strides[4] = {static_cast<int>(picture.y.step), static_cast<int>(picture.u.step),
                      static_cast<int>(picture.v.step), 0};
    return sws_scale(scaler, frame->data, frame->linesize, 0, frame->height, planes, strides) > 0;
}
