// The camera module's RTSP streams, x4-1.mp4 and x4-2.mp4: one scene
// rendered at the frame rate, H.264-encoded by GStreamer for each stream that
// has viewers, served on 127.0.0.1 only. The control API stops the streams
// (the camera's encoder goes away: connections closed, port refused),
// pauses them (connections stay, frames stop) and starts them again.
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <gst/rtsp-server/rtsp-server.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <opencv2/imgproc.hpp>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "camera_state.h"
#include "control_server.h"
#include "scene.h"
#include "sim_module.h"

namespace {

const char *const stream_paths[] = {"/x4-1.mp4", "/x4-2.mp4"};

class RtspStreams : public SimModule {
public:
    RtspStreams(int port, int width, int height, int fps, int slices, ControlServer &control);
    ~RtspStreams() override;

private:
    struct Source {
        GstRTSPMedia *media;
        GstElement *appsrc;
    };

    void on_loop(const std::function<void()> &work);
    std::string serve();  // on the loop thread; "" or why it failed
    void unserve();       // on the loop thread
    void produce();
    static void media_configure(GstRTSPMediaFactory *factory, GstRTSPMedia *media, gpointer self);
    static void media_unprepared(GstRTSPMedia *media, gpointer self);
    json_object *state();

    const int port_, width_, height_, fps_, slices_;
    GMainContext *context_ = nullptr;
    GMainLoop *loop_ = nullptr;
    std::thread loop_thread_;
    GstRTSPServer *server_ = nullptr;  // loop thread only
    GSource *listener_ = nullptr;

    std::mutex lock_;  // guards sources_, paused_, serving_
    std::condition_variable wake_;
    std::vector<Source> sources_;  // one appsrc per stream that has viewers
    bool paused_ = false;
    bool serving_ = false;
    bool running_ = true;
    std::atomic<unsigned long long> frames_{0};
    std::thread producer_;
};

RtspStreams::RtspStreams(int port, int width, int height, int fps, int slices, ControlServer &control)
    : port_(port), width_(width), height_(height), fps_(fps), slices_(slices)
{
    gst_init(nullptr, nullptr);
    context_ = g_main_context_new();
    loop_ = g_main_loop_new(context_, FALSE);
    loop_thread_ = std::thread([this] {
        g_main_context_push_thread_default(context_);
        g_main_loop_run(loop_);
        g_main_context_pop_thread_default(context_);
    });
    std::string failure;
    on_loop([&] { failure = serve(); });
    if (!failure.empty()) {
        g_main_loop_quit(loop_);
        loop_thread_.join();
        g_main_loop_unref(loop_);
        g_main_context_unref(context_);
        throw std::runtime_error("RTSP streams: " + failure);
    }
    producer_ = std::thread(&RtspStreams::produce, this);

    control.route("GET", "/streams", "the RTSP streams: serving, paused, size, viewers, frames",
                  [this](const ControlRequest &) { return control_ok(state()); });
    control.route("POST", "/streams/stop", "the camera's encoder goes away: connections closed, port refused",
                  [this](const ControlRequest &) {
                      on_loop([this] { unserve(); });
                      return control_ok(state());
                  });
    control.route("POST", "/streams/pause", "frames stop; connections stay open",
                  [this](const ControlRequest &) {
                      std::lock_guard<std::mutex> hold(lock_);
                      paused_ = true;
                      return control_ok(nullptr);
                  });
    control.route("POST", "/streams/start", "serve and deliver frames again", [this](const ControlRequest &) {
        std::string why;
        on_loop([&] { why = serve(); });
        if (!why.empty())
            return control_error(409, why);
        std::lock_guard<std::mutex> hold(lock_);
        paused_ = false;
        return control_ok(nullptr);
    });
}

RtspStreams::~RtspStreams()
{
    {
        std::lock_guard<std::mutex> hold(lock_);
        running_ = false;
    }
    wake_.notify_all();
    producer_.join();
    on_loop([this] { unserve(); });
    g_main_loop_quit(loop_);
    loop_thread_.join();
    g_main_loop_unref(loop_);
    g_main_context_unref(context_);
}

// Runs the work on the loop thread, which owns every GStreamer object here,
// and waits for it.
void RtspStreams::on_loop(const std::function<void()> &work)
{
    struct Call {
        const std::function<void()> *work;
        std::promise<void> done;
    };
    Call call{&work, {}};
    std::future<void> done = call.done.get_future();
    g_main_context_invoke(
        context_,
        [](gpointer data) -> gboolean {
            auto *c = static_cast<Call *>(data);
            (*c->work)();
            c->done.set_value();
            return G_SOURCE_REMOVE;
        },
        &call);
    done.wait();
}

std::string RtspStreams::serve()
{
    if (server_)
        return "";
    server_ = gst_rtsp_server_new();
    gst_rtsp_server_set_address(server_, "127.0.0.1");
    gst_rtsp_server_set_service(server_, std::to_string(port_).c_str());
    // x264 without lookahead or B-frames: a frame leaves as soon as it is
    // encoded. Each frame in slices_ slices, as some cameras' encoders cut
    // them (each slice its own NAL unit, so a frame spans more packets).
    std::string launch = "( appsrc name=src is-live=true format=time do-timestamp=true max-buffers=3 "
                         "leaky-type=downstream caps=video/x-raw,format=I420,width=" +
                         std::to_string(width_) + ",height=" + std::to_string(height_) +
                         ",framerate=" + std::to_string(fps_) +
                         "/1 ! x264enc tune=zerolatency sliced-threads=false threads=1 speed-preset=ultrafast "
                         "option-string=slices=" + std::to_string(slices_) + " "
                         "key-int-max=" + std::to_string(fps_) + " bitrate=" + std::to_string(width_ * height_ / 230) +
                         " ! rtph264pay name=pay0 pt=96 config-interval=-1 )";
    GstRTSPMountPoints *mounts = gst_rtsp_server_get_mount_points(server_);
    for (const char *path : stream_paths) {
        GstRTSPMediaFactory *factory = gst_rtsp_media_factory_new();
        gst_rtsp_media_factory_set_launch(factory, launch.c_str());
        gst_rtsp_media_factory_set_shared(factory, TRUE);
        // Interleaved in the RTSP connection: nothing is sent over UDP.
        gst_rtsp_media_factory_set_protocols(factory, GST_RTSP_LOWER_TRANS_TCP);
        g_signal_connect(factory, "media-configure", G_CALLBACK(media_configure), this);
        gst_rtsp_mount_points_add_factory(mounts, path, factory);
    }
    g_object_unref(mounts);

    GError *error = nullptr;
    listener_ = gst_rtsp_server_create_source(server_, nullptr, &error);
    if (!listener_) {
        std::string why = "cannot listen on 127.0.0.1:" + std::to_string(port_) + ": " +
                          (error ? error->message : "unknown error");
        g_clear_error(&error);
        g_object_unref(server_);
        server_ = nullptr;
        return why;
    }
    g_source_attach(listener_, context_);
    std::lock_guard<std::mutex> hold(lock_);
    serving_ = true;
    return "";
}

void RtspStreams::unserve()
{
    if (!server_)
        return;
    g_source_destroy(listener_);
    g_source_unref(listener_);
    listener_ = nullptr;
    gst_rtsp_server_client_filter(
        server_, [](GstRTSPServer *, GstRTSPClient *, gpointer) { return GST_RTSP_FILTER_REMOVE; }, nullptr);
    {
        std::lock_guard<std::mutex> hold(lock_);
        for (Source &source : sources_) {
            g_signal_handlers_disconnect_by_data(source.media, this);
            gst_object_unref(source.appsrc);
            g_object_unref(source.media);
        }
        sources_.clear();
        serving_ = false;
    }
    g_object_unref(server_);
    server_ = nullptr;
}

void RtspStreams::media_configure(GstRTSPMediaFactory *, GstRTSPMedia *media, gpointer data)
{
    auto *self = static_cast<RtspStreams *>(data);
    GstElement *bin = gst_rtsp_media_get_element(media);
    GstElement *appsrc = gst_bin_get_by_name_recurse_up(GST_BIN(bin), "src");
    gst_object_unref(bin);
    if (!appsrc)
        return;
    g_signal_connect(media, "unprepared", G_CALLBACK(media_unprepared), self);
    std::lock_guard<std::mutex> hold(self->lock_);
    self->sources_.push_back({GST_RTSP_MEDIA(g_object_ref(media)), appsrc});
}

void RtspStreams::media_unprepared(GstRTSPMedia *media, gpointer data)
{
    auto *self = static_cast<RtspStreams *>(data);
    std::lock_guard<std::mutex> hold(self->lock_);
    for (auto it = self->sources_.begin(); it != self->sources_.end(); ++it)
        if (it->media == media) {
            g_signal_handlers_disconnect_by_data(media, self);
            gst_object_unref(it->appsrc);
            g_object_unref(it->media);
            self->sources_.erase(it);
            return;
        }
}

void RtspStreams::produce()
{
    using namespace std::chrono;
    SceneRenderer scene(width_, height_);
    cv::Mat i420;
    const auto period = duration_cast<steady_clock::duration>(duration<double>(1.0 / fps_));
    auto next = steady_clock::now();
    for (;;) {
        next += period;
        std::vector<GstElement *> targets;
        {
            std::unique_lock<std::mutex> hold(lock_);
            wake_.wait_until(hold, next, [this] { return !running_; });
            if (!running_)
                return;
            if (!paused_)
                for (const Source &source : sources_)
                    targets.push_back(GST_ELEMENT(gst_object_ref(source.appsrc)));
        }
        // Behind after a stall of the machine: carry on from now, no burst.
        if (steady_clock::now() - next > 2 * period)
            next = steady_clock::now();
        if (targets.empty())
            continue;
        auto now_ms = static_cast<uint64_t>(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
        const cv::Mat &picture = scene.render(now_ms, frames_, sim_camera_state().snapshot());
        cv::cvtColor(picture, i420, cv::COLOR_BGR2YUV_I420);
        size_t size = i420.total() * i420.elemSize();
        GstBuffer *buffer = gst_buffer_new_allocate(nullptr, size, nullptr);
        gst_buffer_fill(buffer, 0, i420.data, size);
        for (GstElement *appsrc : targets) {
            gst_app_src_push_buffer(GST_APP_SRC(appsrc), gst_buffer_ref(buffer));
            gst_object_unref(appsrc);
        }
        gst_buffer_unref(buffer);
        ++frames_;
    }
}

json_object *RtspStreams::state()
{
    json_object *body = json_object_new_object();
    std::lock_guard<std::mutex> hold(lock_);
    json_object_object_add(body, "serving", json_object_new_boolean(serving_));
    json_object_object_add(body, "paused", json_object_new_boolean(paused_));
    json_object_object_add(body, "port", json_object_new_int(port_));
    json_object_object_add(body, "width", json_object_new_int(width_));
    json_object_object_add(body, "height", json_object_new_int(height_));
    json_object_object_add(body, "fps", json_object_new_int(fps_));
    json_object_object_add(body, "slices", json_object_new_int(slices_));
    json_object *paths = json_object_new_array();
    for (const char *path : stream_paths)
        json_object_array_add(paths, json_object_new_string(path));
    json_object_object_add(body, "paths", paths);
    json_object_object_add(body, "active_streams", json_object_new_int(static_cast<int>(sources_.size())));
    json_object_object_add(body, "frames", json_object_new_int64(static_cast<int64_t>(frames_.load())));
    return body;
}

std::unique_ptr<SimModule> start_streams(const SimOptions &options, ControlServer &control)
{
    if (!options.has("rtsp-port"))
        return nullptr;
    long long port = options.number("rtsp-port", 0);
    if (port < 1 || port > 65535)
        throw std::runtime_error("--rtsp-port must be a port number");
    std::string size = options.text("stream-size", "1280x720");
    int width = 0, height = 0;
    char rest = 0;
    if (sscanf(size.c_str(), "%dx%d%c", &width, &height, &rest) != 2 || width < 64 || height < 64 ||
        width > 4096 || height > 2304 || width % 2 || height % 2)
        throw std::runtime_error("--stream-size must be WIDTHxHEIGHT, even, from 64x64 to 4096x2304");
    long long fps = options.number("stream-fps", 30);
    if (fps < 1 || fps > 60)
        throw std::runtime_error("--stream-fps must be 1 to 60");
    long long slices = options.number("stream-slices", 1);
    if (slices < 1 || slices > 32)
        throw std::runtime_error("--stream-slices must be 1 to 32");
    return std::make_unique<RtspStreams>(static_cast<int>(port), width, height, static_cast<int>(fps),
                                         static_cast<int>(slices), control);
}

SimModuleRegistration registration("streams",
                                   "  --rtsp-port=N        RTSP streams x4-1.mp4 and x4-2.mp4 on 127.0.0.1:N\n"
                                   "  --stream-size=WxH    their picture size (default 1280x720)\n"
                                   "  --stream-fps=N       their frame rate (default 30)\n"
                                   "  --stream-slices=N    slices per frame (default 1)\n",
                                   start_streams);

}  // namespace
