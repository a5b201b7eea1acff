#include "camera/visca_connection.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <type_traits>

#include "camera/camera_update.h"
#include "camera/visca_commands.h"
#include "core/trace.h"
#include "platform.h"

visca_thread_record visca_thread_data;
std::atomic<int32_t> global_zoom_position{0};
std::atomic<int32_t> global_focus_position{0};

namespace {

constexpr double command_timeout = 0.25;
constexpr uint8_t buffer_full = 0x03;  // error code
// libev and the monotonic clock are read apart; a timer due within this
// margin counts as expired rather than being re-armed for a microsecond.
constexpr double timer_slack = 0.001;
constexpr int camera_connect_timeout_ms = 5000;
constexpr auto reconnect_pause = std::chrono::seconds(5);
constexpr auto retry_pause = std::chrono::seconds(2);

// Camera and connection records are never freed: other threads read the
// published pointers without a lock, so a record they still hold must stay
// valid memory. A released record refuses commands until it is reused.
// Everything here is trivially destructible, since the VISCA thread still
// runs while the process exits.
visca_camera camera_records[VISCA_CAMERAS];
static_assert(std::is_trivially_destructible_v<visca_camera>);
static_assert(std::is_trivially_destructible_v<visca_thread_record>);
std::mutex spare_connections_mutex;
visca_connection *spare_connections[VISCA_CAMERAS];
int spare_count = 0;

int next_index(int index) { return (index + 1) % VISCA_QUEUE_SIZE; }

double seconds_since(const timespec &then)
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec - then.tv_sec) + (now.tv_nsec - then.tv_nsec) * 1e-9;
}

int nibbles(const uint8_t *bytes, int count)
{
    int value = 0;
    for (int i = 0; i < count; ++i)
        value = (value << 4) | (bytes[i] & 0x0F);
    return value;
}

// Closes the socket and stops watching it; on the VISCA thread only, so the
// loop never polls a descriptor number that may be handed out again.
void close_socket(visca_connection *connection)
{
    ev_io_stop(connection->loop, &connection->read_watcher);
    ev_io_stop(connection->loop, &connection->connect_watcher);
    std::lock_guard<std::mutex> hold(connection->write_mutex);
    if (connection->fd != -1)
        close(connection->fd);
    connection->fd = -1;
    connection->connected = 0;
}

bool on_loop_thread(const visca_connection *connection)
{
    return pthread_equal(pthread_self(), connection->loop_thread) != 0;
}

// Sends the entry at extract; the queue mutex is held.
void send_entry(visca_camera *camera)
{
    visca_connection *connection = camera->connection;
    visca_queue_entry &entry = camera->queue[camera->extract_index];
    trace(TRACE_VISCA, "extract %d", camera->extract_index);
    clock_gettime(CLOCK_MONOTONIC, &entry.send_time);
    camera->slots[0].busy = 1;
    camera->slots[0].entry = entry;
    // From another thread the timer is left alone: its callback measures the
    // age of the command on the line and re-arms itself for the remainder.
    if (on_loop_thread(connection))
        ev_timer_again(connection->loop, &camera->command_timer);
    visca_connection_send_command(connection, entry.bytes, entry.length);
}

void complete_locked(visca_camera *camera, int reason)
{
    if (camera->in_flight != 1)
        return;
    trace(TRACE_VISCA, "complete %d %d", camera->extract_index, reason);
    camera->retry_pending = 0;
    camera->limit_index = camera->extract_index;
    camera->in_flight = 0;
    camera->extract_index = next_index(camera->extract_index);
    if (camera->extract_index == camera->insert_index)
        return;
    int32_t idle = 0;
    if (camera->in_flight.compare_exchange_strong(idle, 1))
        send_entry(camera);
}

void on_command_timer(struct ev_loop *loop, ev_timer *timer, int)
{
    auto *camera = static_cast<visca_camera *>(timer->data);
    std::lock_guard<std::mutex> hold(camera->queue_mutex);
    if (camera->in_flight == 1) {
        double age = seconds_since(camera->queue[camera->extract_index].send_time);
        if (age < command_timeout - timer_slack) {
            timer->repeat = command_timeout - age;
            ev_timer_again(loop, timer);
            timer->repeat = command_timeout;
            return;
        }
    }
    visca_socket_slot &line = camera->slots[0];
    if (line.busy && seconds_since(line.entry.send_time) >= command_timeout - timer_slack) {
        trace(TRACE_VISCA, "if clear");
        const uint8_t clear[] = {static_cast<uint8_t>(0x80 | camera->address), 0x01, 0x00, 0x01, 0xFF};
        visca_connection_send_command(camera->connection, clear, sizeof clear);
        // The interface clear empties every socket of the camera.
        for (visca_socket_slot &slot : camera->slots)
            slot.busy = 0;
        camera->clear_pending = 1;
    }
    complete_locked(camera, VISCA_TIMED_OUT);
}

// Socket bookkeeping for a reply; returns whether the reply ends the command
// on the line. A completion or error on a socket that holds an earlier,
// acknowledged command finishes that command, as does the bare completion
// that answers an interface clear: neither releases the line, so exactly one
// unacknowledged command is ever with the camera.
bool account_reply(visca_camera *camera, int type, int socket, size_t length)
{
    std::lock_guard<std::mutex> hold(camera->queue_mutex);
    visca_socket_slot &line = camera->slots[0];
    visca_socket_slot &slot = camera->slots[socket];
    if (type == 0x4) {
        slot = line;
        line.busy = 0;
        return true;
    }
    if (socket != 0 && slot.busy) {
        slot.busy = 0;
        return false;
    }
    if (type == 0x5 && socket == 0 && length == 3 && camera->clear_pending) {
        camera->clear_pending = 0;
        return false;
    }
    line.busy = 0;
    return true;
}

// A camera with both sockets busy refuses a command with "buffer full".
// Sent again once a socket completes, it is not lost; if none completes in
// time the usual time-out ends it.
bool hold_for_retry(visca_camera *camera)
{
    std::lock_guard<std::mutex> hold(camera->queue_mutex);
    if (camera->in_flight != 1)
        return false;
    trace(TRACE_VISCA, "buffer full %d", camera->extract_index);
    camera->retry_pending = 1;
    return true;
}

void retry_after_completion(visca_camera *camera)
{
    std::lock_guard<std::mutex> hold(camera->queue_mutex);
    if (!camera->retry_pending || camera->in_flight != 1)
        return;
    camera->retry_pending = 0;
    send_entry(camera);
}

void handle_reply(visca_connection *connection, const uint8_t *reply, size_t length, size_t terminator_at)
{
    if (length < 2)
        return;
    visca_camera *camera = connection->cameras[(reply[0] >> 4) & 0x07];
    if (!camera)
        return;
    int socket = reply[1] & 0x07;
    if (reply[1] == 0x38 && terminator_at == 2) {
        trace(TRACE_VISCA, "rx network change");
        return;
    }
    // Positions are read only from notices long enough to carry them.
    if (reply[1] == 0x07 && reply[2] == 0x04 && length >= 11) {
        int position = nibbles(reply + 6, 4);
        if (reply[3] == 0x16) {
            camera->focus_position = position;
            global_focus_position = position;
        } else if (reply[3] == 0x69) {
            camera->digital_zoom_position = nibbles(reply + 4, 2);
            camera->zoom_position = position;
            global_zoom_position = position;
        }
    }
    int type = reply[1] >> 4;
    switch (type) {
    case 0x4:
        account_reply(camera, type, socket, length);
        if (camera->acknowledge_callback)
            camera->acknowledge_callback(camera, socket);
        visca_camera_complete_command(camera, VISCA_ACKNOWLEDGED);
        break;
    case 0x5: {
        if (length >= 9 && reply[2] == 0x00 && reply[3] == 0x20) {
            camera->model_code = (reply[4] << 8) | reply[5];
            camera->rom_version = (reply[6] << 8) | reply[7];
        }
        bool ends_line = account_reply(camera, type, socket, length);
        if (camera->completion_callback)
            camera->completion_callback(camera, socket);
        if (ends_line)
            visca_camera_complete_command(camera, VISCA_COMPLETED);
        else
            retry_after_completion(camera);
        break;
    }
    case 0x6: {
        bool ends_line = account_reply(camera, type, socket, length);
        if (camera->error_callback)
            camera->error_callback(camera, socket, reply[2]);
        if (ends_line && !(reply[2] == buffer_full && hold_for_retry(camera)))
            visca_camera_complete_command(camera, VISCA_ERROR);
        break;
    }
    default:
        break;
    }
}

void on_read(struct ev_loop *, ev_io *watcher, int)
{
    auto *connection = static_cast<visca_connection *>(watcher->data);
    if (connection->failed) {
        close_socket(connection);
        return;
    }
    uint8_t data[4096];
    ssize_t got = read(connection->fd, data, sizeof data);
    if (got == 0) {
        trace(TRACE_VISCA, "remote close");
        close_socket(connection);
        return;
    }
    if (got < 0)
        return;
    trace_data(TRACE_VISCA, "read", data, static_cast<int>(got));
    visca_connection_receive(connection, data, static_cast<size_t>(got));
}

void on_connect(struct ev_loop *loop, ev_io *watcher, int)
{
    auto *connection = static_cast<visca_connection *>(watcher->data);
    ev_io_stop(loop, &connection->connect_watcher);
    ev_timer_stop(loop, &connection->connect_timer);
    int error = 0;
    socklen_t size = sizeof error;
    if (getsockopt(connection->fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
        trace(TRACE_VISCA, "sockopt failure '%s'", strerror(errno));
        close_socket(connection);
        return;
    }
    if (error != 0) {
        trace(TRACE_VISCA, "connect error '%s'", strerror(error));
        close_socket(connection);
        return;
    }
    trace(TRACE_VISCA, "connect");
    connection->connected = 1;
    if (connection->record)
        ++connection->record->connects;
    // Reading starts once connected: a failed connect is then told by the
    // socket error alone.
    ev_io_start(loop, &connection->read_watcher);
}

void on_connect_timeout(struct ev_loop *loop, ev_timer *timer, int)
{
    auto *connection = static_cast<visca_connection *>(timer->data);
    ev_timer_stop(loop, &connection->connect_timer);
    trace(TRACE_VISCA, "connect timeout");
    close_socket(connection);
}

void on_wake(struct ev_loop *, ev_io *watcher, int)
{
    uint64_t count;
    ssize_t ignored = read(watcher->fd, &count, sizeof count);
    (void)ignored;
}

// Releases a camera record from its connection; on the VISCA thread.
void release_camera(visca_connection *connection, int address)
{
    visca_camera *camera = connection->cameras[address];
    if (!camera)
        return;
    ev_timer_stop(connection->loop, &camera->command_timer);
    std::lock_guard<std::mutex> hold(camera->queue_mutex);
    camera->connection = nullptr;
    camera->in_flight = 0;
    connection->cameras[address] = nullptr;
}

visca_connection *take_connection_record()
{
    {
        std::lock_guard<std::mutex> hold(spare_connections_mutex);
        if (spare_count > 0)
            return spare_connections[--spare_count];
    }
    return new (std::nothrow) visca_connection();
}

// The spares cover every connection that can exist at once (the VISCA
// thread holds one); only a surplus is freed.
void give_back_connection_record(visca_connection *connection)
{
    std::lock_guard<std::mutex> hold(spare_connections_mutex);
    if (spare_count < VISCA_CAMERAS)
        spare_connections[spare_count++] = connection;
    else
        delete connection;
}

void pause_for(std::chrono::milliseconds pause) { std::this_thread::sleep_for(pause); }

// Runs the loop once: either blocks until a reply, a timer or a wake-up, or
// (polling) one non-blocking pass. Returns whether watchers are still active.
int loop_pass(visca_thread_record *record, struct ev_loop *loop)
{
    if (record->poll_interval_ms <= 0)
        return ev_run(loop, EVRUN_ONCE);
    return ev_run(loop, EVRUN_NOWAIT);
}

struct thread_link {
    struct ev_loop *loop = nullptr;
    visca_connection *connection = nullptr;
    ev_io wake;
};

void tear_down(visca_thread_record *record, thread_link &link)
{
    record->camera = nullptr;
    record->connection = nullptr;
    if (link.connection)
        visca_connection_destroy(link.connection);
    ev_io_stop(link.loop, &link.wake);
    ev_loop_destroy(link.loop);
    link = thread_link{};
}

void suspend_for_update(visca_thread_record *record, thread_link &link)
{
    std::atomic_ref<int>(record->update_requested) = 0;
    std::atomic_ref<int>(record->update_active) = 1;
    trace(TRACE_VISCA, "suspending for update");
    if (link.connection->fd != -1)
        tear_down(record, link);
    pthread_mutex_lock(&record->update_end_mutex);
    record->update_ended = 0;
    pthread_mutex_unlock(&record->update_end_mutex);
    pthread_mutex_lock(&record->update_start_mutex);
    record->update_started = 1;
    pthread_cond_broadcast(&record->update_start_condition);
    pthread_mutex_unlock(&record->update_start_mutex);
    trace(TRACE_VISCA, "wait begin");
    pthread_mutex_lock(&record->update_end_mutex);
    while (!record->update_ended)
        pthread_cond_wait(&record->update_end_condition, &record->update_end_mutex);
    record->update_ended = 0;
    pthread_mutex_unlock(&record->update_end_mutex);
    std::atomic_ref<int>(record->update_active) = 0;
    trace(TRACE_VISCA, "wait end");
}

// One connection from creation to its end; returns when the thread must
// start over with a new loop and connection.
void run_link(visca_thread_record *record, const char *host, int port)
{
    thread_link link;
    link.loop = ev_loop_new(EVBACKEND_POLL);
    if (!link.loop) {
        trace(TRACE_VISCA, "loop fail");
        pause_for(retry_pause);
        return;
    }
    // Gathering I/O for a tenth of a second suits the polling pass only; a
    // loop that sleeps until a reply must handle it at once.
    if (record->poll_interval_ms > 0)
        ev_set_io_collect_interval(link.loop, 0.1);
    ev_io_init(&link.wake, on_wake, record->wake_fd, EV_READ);
    if (record->wake_fd >= 0)
        ev_io_start(link.loop, &link.wake);
    link.connection = visca_connection_create(link.loop, host, port, camera_connect_timeout_ms);
    if (!link.connection) {
        trace(TRACE_VISCA, "create fail");
        tear_down(record, link);
        pause_for(retry_pause);
        return;
    }
    link.connection->record = record;
    record->connection = link.connection;
    visca_camera *camera = visca_connection_add_camera(link.connection, 1, 0);
    if (!camera) {
        trace(TRACE_VISCA, "camera fail");
        tear_down(record, link);
        pause_for(retry_pause);
        return;
    }
    camera->acknowledge_callback = visca_acknowledge_callback;
    camera->completion_callback = visca_completion_callback;
    record->camera = camera;

    for (;;) {
        if (!loop_pass(record, link.loop)) {
            trace(TRACE_VISCA, "event 0");
            tear_down(record, link);
            pause_for(retry_pause);
            return;
        }
        if (record->poll_interval_ms > 0)
            pause_for(std::chrono::milliseconds(record->poll_interval_ms));
        if (std::atomic_ref<int>(record->update_requested)) {
            suspend_for_update(record, link);
            if (!link.connection)
                return;
            continue;
        }
        if (link.connection->fd == -1) {
            pause_for(reconnect_pause);
            tear_down(record, link);
            return;
        }
    }
}

}  // namespace

void *visca_thread_procedure(void *argument)
{
    auto *record = static_cast<visca_thread_record *>(argument);
    trace(TRACE_VISCA, "thread start");
    record->connection = nullptr;
    record->camera = nullptr;
    if (record->wake_fd < 0)
        record->wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    visca_init_update(record);
    // The thread runs on while the process exits and the platform layer's
    // strings are destroyed: it keeps its own copy of the address.
    const std::string host = record->host ? record->host : vx4_platform().camera_host;
    int port = vx4_platform().camera_visca_port;
    for (;;)
        run_link(record, host.c_str(), port);
    return nullptr;
}

int visca_update_active(visca_thread_record *record) { return std::atomic_ref<int>(record->update_active); }

void visca_request_suspension(visca_thread_record *record)
{
    std::atomic_ref<int>(record->update_requested) = 1;
    visca_wake_thread(record);
}

void visca_report_update_end(visca_thread_record *record)
{
    pthread_mutex_lock(&record->update_end_mutex);
    record->update_ended = 1;
    pthread_cond_broadcast(&record->update_end_condition);
    pthread_mutex_unlock(&record->update_end_mutex);
}

void visca_wake_thread(visca_thread_record *record)
{
    int fd = record ? record->wake_fd.load() : -1;
    if (fd < 0)
        return;
    uint64_t one = 1;
    ssize_t ignored = write(fd, &one, sizeof one);
    (void)ignored;
}

visca_connection *visca_connection_create(struct ev_loop *loop, const char *host, int port, int timeout_ms)
{
    trace(TRACE_VISCA, "create");
    visca_connection *connection = take_connection_record();
    if (!connection) {
        trace(TRACE_VISCA, "alloc failure '%s'", strerror(ENOMEM));
        return nullptr;
    }
    connection->fd = -1;
    connection->loop = loop;
    connection->connected = 0;
    connection->receive_count = 0;
    connection->discarding = 0;
    connection->failed = 0;
    connection->loop_thread = pthread_self();
    connection->record = nullptr;
    for (visca_camera *&camera : connection->cameras)
        camera = nullptr;

    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        trace(TRACE_VISCA, "socket failure '%s'", strerror(errno));
        give_back_connection_record(connection);
        return nullptr;
    }
    int flags = fcntl(fd, F_GETFL);
    bool ready = true;
    if (flags < 0) {
        trace(TRACE_VISCA, "fcntl failure '%s'", strerror(errno));
        ready = false;
    } else if (fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        trace(TRACE_VISCA, "nb failure '%s'", strerror(errno));
        ready = false;
    }
    if (ready) {
        ev_timer_init(&connection->connect_timer, on_connect_timeout, timeout_ms * 0.001, 0.0);
        ev_io_init(&connection->connect_watcher, on_connect, fd, EV_WRITE);
        ev_io_init(&connection->read_watcher, on_read, fd, EV_READ);
        connection->connect_timer.data = connection;
        connection->connect_watcher.data = connection;
        connection->read_watcher.data = connection;
        memset(&connection->address, 0, sizeof connection->address);
        connection->address.sin_family = AF_INET;
        connection->address.sin_port = htons(static_cast<uint16_t>(port));
        connection->address_length = sizeof connection->address;
        int parsed = inet_pton(AF_INET, host ? host : "", &connection->address.sin_addr);
        if (parsed < 1) {
            trace(TRACE_VISCA, "addr failure %d '%s'", parsed, strerror(errno));
            ready = false;
        }
    }
    if (ready) {
        connection->fd = fd;
        ev_timer_start(loop, &connection->connect_timer);
        ev_io_start(loop, &connection->connect_watcher);
        if (connect(fd, reinterpret_cast<const sockaddr *>(&connection->address), connection->address_length) == 0 ||
            errno == EINPROGRESS)
            return connection;
        trace(TRACE_VISCA, "connect start failure '%s'", strerror(errno));
        ev_timer_stop(loop, &connection->connect_timer);
        ev_io_stop(loop, &connection->connect_watcher);
        connection->fd = -1;
    }
    close(fd);
    give_back_connection_record(connection);
    return nullptr;
}

void visca_connection_destroy(visca_connection *connection)
{
    if (!connection)
        return;
    trace(TRACE_VISCA, "destroy");
    ev_timer_stop(connection->loop, &connection->connect_timer);
    ev_io_stop(connection->loop, &connection->connect_watcher);
    ev_io_stop(connection->loop, &connection->read_watcher);
    for (int address = 0; address < VISCA_CAMERAS; ++address)
        release_camera(connection, address);
    {
        std::lock_guard<std::mutex> hold(connection->write_mutex);
        if (connection->fd != -1)
            close(connection->fd);
        connection->fd = -1;
        connection->connected = 0;
    }
    give_back_connection_record(connection);
}

int visca_connection_send_command(visca_connection *connection, const uint8_t *bytes, size_t length)
{
    if (!visca_connection_is_connected(connection))
        return -1;
    trace_data(TRACE_VISCA, "sending", bytes, static_cast<int>(length));
    {
        std::lock_guard<std::mutex> hold(connection->write_mutex);
        int fd = connection->fd;
        ssize_t written = fd >= 0 ? send(fd, bytes, length, MSG_NOSIGNAL) : (errno = EBADF, -1);
        if (written > 0)
            return 0;
        trace(TRACE_VISCA, "send failure '%s'", strerror(errno));
        connection->connected = 0;
        connection->failed = 1;
        // The VISCA thread closes the socket; shutting it down makes it
        // readable so that the thread notices at once.
        if (fd >= 0)
            shutdown(fd, SHUT_RDWR);
    }
    visca_wake_thread(connection->record);
    return -1;
}

int visca_connection_is_connected(visca_connection *connection) { return connection ? connection->connected.load() : 0; }

visca_camera *visca_connection_add_camera(visca_connection *connection, int address, uint64_t user_value)
{
    if (!connection || address < 0 || address >= VISCA_CAMERAS) {
        trace(TRACE_VISCA, "add camera failure '%s'", strerror(EINVAL));
        return nullptr;
    }
    visca_camera *camera = &camera_records[address];
    {
        std::lock_guard<std::mutex> hold(camera->queue_mutex);
        if (camera->connection) {
            trace(TRACE_VISCA, "add camera failure '%s'", strerror(EBUSY));
            return nullptr;
        }
        camera->address = static_cast<uint8_t>(address);
        camera->user_value = user_value;
        for (visca_socket_slot &slot : camera->slots)
            slot.busy = 0;
        camera->insert_index = 1;
        camera->extract_index = 1;
        camera->limit_index = 0;
        camera->in_flight = 0;
        camera->digital_zoom_position = 0;
        camera->zoom_position = -1;
        camera->focus_position = -1;
        camera->version_requested = -1;
        camera->model_code = 0;
        camera->rom_version = 0;
        camera->acknowledge_callback = nullptr;
        camera->completion_callback = nullptr;
        camera->error_callback = nullptr;
        camera->clear_pending = 0;
        camera->retry_pending = 0;
        camera->connection = connection;
    }
    connection->cameras[address] = camera;
    ev_timer_init(&camera->command_timer, on_command_timer, command_timeout, command_timeout);
    camera->command_timer.data = camera;
    ev_timer_start(connection->loop, &camera->command_timer);
    return camera;
}

void visca_connection_remove_camera(visca_connection *connection, int address)
{
    if (connection && address >= 0 && address < VISCA_CAMERAS)
        release_camera(connection, address);
}

visca_camera *visca_connection_get_camera(visca_connection *connection, int address)
{
    if (!connection || address < 0 || address >= VISCA_CAMERAS)
        return nullptr;
    return connection->cameras[address];
}

void visca_connection_receive(visca_connection *connection, const uint8_t *data, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        uint8_t byte = data[i];
        if (connection->discarding) {
            if (byte == 0xFF)
                connection->discarding = 0;
            continue;
        }
        if (connection->receive_count == VISCA_PACKET_MAX) {
            trace(TRACE_VISCA, "overrun");
            connection->receive_count = 0;
            connection->discarding = byte != 0xFF;
            continue;
        }
        connection->receive_buffer[connection->receive_count++] = byte;
        if (byte == 0xFF) {
            size_t length = connection->receive_count;
            connection->receive_count = 0;
            handle_reply(connection, connection->receive_buffer, length, i);
        }
    }
}

int visca_camera_queue_command(visca_camera *camera, const uint8_t *bytes, size_t length)
{
    if (!camera || !bytes || length == 0 || length > VISCA_PACKET_MAX)
        return -1;
    std::lock_guard<std::mutex> hold(camera->queue_mutex);
    if (!visca_connection_is_connected(camera->connection))
        return -1;
    if (camera->insert_index == camera->limit_index)
        return -1;
    trace(TRACE_VISCA, "insert %d", camera->insert_index);
    visca_queue_entry &entry = camera->queue[camera->insert_index];
    memcpy(entry.bytes, bytes, length);
    entry.length = length;
    camera->insert_index = next_index(camera->insert_index);
    int32_t idle = 0;
    if (camera->insert_index != camera->extract_index && camera->in_flight.compare_exchange_strong(idle, 1))
        send_entry(camera);
    return 0;
}

void visca_camera_complete_command(visca_camera *camera, int reason)
{
    std::lock_guard<std::mutex> hold(camera->queue_mutex);
    complete_locked(camera, reason);
}

void visca_acknowledge_callback(visca_camera *camera, int socket)
{
    trace(TRACE_VISCA, "visca command %d acknowledged", socket);
    if (camera->focus_position == -1) {
        visca_camera_continuous_focus_position_on(camera);
        camera->focus_position = global_focus_position.load();
    } else if (camera->zoom_position == -1) {
        visca_camera_continuous_zoom_position_on(camera);
        camera->zoom_position = global_zoom_position.load();
    } else if (camera->version_requested == -1) {
        visca_camera_version_inq(camera);
        camera->version_requested = 0;
    }
}

void visca_completion_callback(visca_camera *, int socket)
{
    trace(TRACE_VISCA, "visca command %d completed", socket);
}
