// Replies from the camera module: framing across reads, over-long replies,
// notices, version answers and the queue they release.
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "camera/visca_commands.h"
#include "camera/visca_connection.h"

namespace {

struct Link {
    struct ev_loop *loop;
    visca_connection *connection;
    visca_camera *camera;
};

Link &link()
{
    static Link link = [] {
        Link made{};
        made.loop = ev_loop_new(EVBACKEND_POLL);
        // Never connected: the loop is never run, and sends fail at once.
        made.connection = visca_connection_create(made.loop, "127.0.0.1", 9, 5000);
        if (!made.connection)
            __builtin_trap();
        close(made.connection->fd);
        made.connection->fd = -1;
        made.camera = visca_connection_add_camera(made.connection, 1, 0);
        made.camera->acknowledge_callback = visca_acknowledge_callback;
        made.camera->completion_callback = visca_completion_callback;
        return made;
    }();
    return link;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Link &l = link();
    visca_connection *connection = l.connection;
    visca_camera *camera = l.camera;
    connection->receive_count = 0;
    connection->discarding = 0;
    connection->connected = 1;
    connection->failed = 0;
    {
        std::lock_guard<std::mutex> hold(camera->queue_mutex);
        camera->insert_index = camera->extract_index = 1;
        camera->limit_index = 0;
        camera->in_flight = 0;
        camera->zoom_position = camera->focus_position = camera->version_requested = -1;
    }
    visca_camera_zoom_stop(camera);
    connection->connected = 1;
    visca_camera_focus_stop(camera);

    // The first byte splits the rest into two reads.
    size_t split = size ? data[0] % size : 0;
    const uint8_t *rest = size ? data + 1 : data;
    size_t count = size ? size - 1 : 0;
    split = split > count ? count : split;
    visca_connection_receive(connection, rest, split);
    visca_connection_receive(connection, rest + split, count - split);

    if (connection->receive_count > VISCA_PACKET_MAX)
        __builtin_trap();
    if (camera->zoom_position < -1 || camera->zoom_position > 0xFFFF || camera->focus_position < -1 ||
        camera->focus_position > 0xFFFF || camera->digital_zoom_position < 0 || camera->digital_zoom_position > 0xFF)
        __builtin_trap();
    if (camera->model_code < 0 || camera->model_code > 0xFFFF || camera->rom_version < 0 || camera->rom_version > 0xFFFF)
        __builtin_trap();
    for (int index : {camera->insert_index, camera->extract_index, camera->limit_index})
        if (index < 0 || index >= VISCA_QUEUE_SIZE)
            __builtin_trap();
    return 0;
}
