// The VISCA link to the camera module: one TCP connection owned by the VISCA
// thread, a command queue per camera sending one command at a time, reply
// framing and parsing, position notices and the version answer.
#pragma once

#include <ev.h>
#include <netinet/in.h>
#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <mutex>

constexpr int VISCA_PACKET_MAX = 16;
constexpr int VISCA_QUEUE_SIZE = 128;
constexpr int VISCA_SOCKETS = 8;
constexpr int VISCA_CAMERAS = 8;

// Why the command on the line ended.
enum visca_completion_reason {
    VISCA_ACKNOWLEDGED = 0,
    VISCA_COMPLETED = 1,
    VISCA_ERROR = 2,
    VISCA_TIMED_OUT = 3,
};

struct visca_connection;
struct visca_camera;

using visca_reply_callback = void (*)(visca_camera *camera, int socket);
using visca_error_callback = void (*)(visca_camera *camera, int socket, int error_code);

struct visca_queue_entry {
    struct timespec send_time;  // monotonic clock
    uint8_t bytes[VISCA_PACKET_MAX];
    uint64_t length;
};

struct visca_socket_slot {
    int32_t busy;
    visca_queue_entry entry;
};

// One camera on a connection. The records live for the whole process, one
// per address, and are reset each time a new connection adds them: a pointer
// another thread read from visca_thread_data stays valid memory across
// reconnections, and queueing on a record whose connection went away
// returns -1.
struct visca_camera {
    visca_connection *connection;  // null while no connection holds the record
    uint8_t address;
    uint64_t user_value;
    visca_socket_slot slots[VISCA_SOCKETS];
    visca_queue_entry queue[VISCA_QUEUE_SIZE];
    int32_t insert_index;
    int32_t extract_index;
    int32_t limit_index;
    std::atomic<int32_t> in_flight;
    std::mutex queue_mutex;
    ev_timer command_timer;
    // Written by the VISCA thread, read by any thread without a lock.
    std::atomic<int32_t> digital_zoom_position;
    std::atomic<int32_t> zoom_position;   // -1: unknown
    std::atomic<int32_t> focus_position;  // -1: unknown
    std::atomic<int32_t> version_requested;
    std::atomic<int32_t> model_code;
    std::atomic<int32_t> rom_version;
    visca_reply_callback acknowledge_callback;
    visca_reply_callback completion_callback;
    visca_error_callback error_callback;
    // The bare completion of an interface clear is awaited; it belongs to
    // no queued command.
    int32_t clear_pending;
    // The command on the line found the camera's sockets full; it goes out
    // again when one of them completes.
    int32_t retry_pending;
};

struct visca_connection {
    std::atomic<int> fd;  // -1 once closed
    struct ev_loop *loop;
    ev_timer connect_timer;
    ev_io connect_watcher;
    ev_io read_watcher;
    struct sockaddr_in address;
    socklen_t address_length;
    std::atomic<int32_t> connected;
    uint8_t receive_buffer[VISCA_PACKET_MAX];
    uint64_t receive_count;
    visca_camera *cameras[VISCA_CAMERAS];
    // Over-long reply being skipped up to its terminator.
    int32_t discarding;
    // Set when a write failed: the VISCA thread closes the socket, since it
    // alone watches it.
    std::atomic<int32_t> failed;
    // Writers and the close of fd take it, so no thread ever writes to a
    // descriptor number that was closed and handed out again.
    std::mutex write_mutex;
    pthread_t loop_thread;
    struct visca_thread_record *record;  // to wake the VISCA thread; may be null
};

// The VISCA thread's start record, shared with the camera update machine.
struct visca_thread_record {
    const char *host = nullptr;  // camera module address, stored by main
    pthread_t thread{};
    std::atomic<visca_connection *> connection{nullptr};
    std::atomic<visca_camera *> camera{nullptr};  // every caller tests it for null
    // Connections made so far: a change tells a new link to the camera,
    // which may have forgotten what it was told.
    std::atomic<uint32_t> connects{0};
    int update_requested = 0;
    int update_active = 0;  // 1 while the thread is suspended for a camera update
    // Hand-over with the update thread: the VISCA thread sets update_started
    // and signals the start condition once its socket is closed; the update
    // thread sets update_ended and signals the end condition when done.
    // (Plain POSIX objects: the record is never destroyed, not even at exit,
    // while the thread may still wait on them.)
    pthread_mutex_t update_start_mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t update_start_condition = PTHREAD_COND_INITIALIZER;
    int update_started = 0;
    pthread_mutex_t update_end_mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t update_end_condition = PTHREAD_COND_INITIALIZER;
    int update_ended = 0;
    // 0: the thread sleeps in its loop until a reply, a timer or a wake-up;
    // otherwise one non-blocking pass every poll_interval_ms (kept to measure
    // against).
    int poll_interval_ms = 0;
    std::atomic<int> wake_fd{-1};
};

extern visca_thread_record visca_thread_data;
extern std::atomic<int32_t> global_zoom_position;
extern std::atomic<int32_t> global_focus_position;

// The VISCA thread's body (pthread start routine; argument: the record).
void *visca_thread_procedure(void *record);
int visca_update_active(visca_thread_record *record);
// Asks the VISCA thread to close its connection and wait for a camera update.
void visca_request_suspension(visca_thread_record *record);
// Reported by the update machine when the update is over.
void visca_report_update_end(visca_thread_record *record);
// Makes the VISCA thread run its loop pass now.
void visca_wake_thread(visca_thread_record *record);

visca_connection *visca_connection_create(struct ev_loop *loop, const char *host, int port, int timeout_ms);
void visca_connection_destroy(visca_connection *connection);
int visca_connection_send_command(visca_connection *connection, const uint8_t *bytes, size_t length);
int visca_connection_is_connected(visca_connection *connection);
visca_camera *visca_connection_add_camera(visca_connection *connection, int address, uint64_t user_value);
void visca_connection_remove_camera(visca_connection *connection, int address);
visca_camera *visca_connection_get_camera(visca_connection *connection, int address);
// Frames and handles bytes read from the socket (the read watcher's work
// once data is in).
void visca_connection_receive(visca_connection *connection, const uint8_t *data, size_t count);

// Queues one packet (at most 16 bytes) for the camera; 0 when queued, -1 when
// the camera is not connected or its queue is full.
int visca_camera_queue_command(visca_camera *camera, const uint8_t *bytes, size_t length);
void visca_camera_complete_command(visca_camera *camera, int reason);

void visca_acknowledge_callback(visca_camera *camera, int socket);
void visca_completion_callback(visca_camera *camera, int socket);
