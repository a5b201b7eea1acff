#include "camera/camera_update.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "camera/visca_connection.h"
#include "core/stick_files.h"
#include "core/trace.h"
#include "platform.h"

namespace {

constexpr const char *update_folder = "/media/usb-cpy";
constexpr const char *update_pattern = "camera_update_*.bin";
constexpr size_t path_size = 4096;
constexpr size_t text_size = 17;
constexpr int steps_limit = 10000;
constexpr double connect_seconds = 5;
constexpr double exchange_seconds = 2;
constexpr double block_seconds = 10;  // X-Modem's usual wait for the answer to a block
constexpr int block_tries = 10;       // sends of one block (or of the end) before giving up
constexpr int loader_ticks = 180;
constexpr int retry_ticks = 5;
constexpr int end_ticks = 10;
constexpr int attempt_limit = 35;
constexpr auto pass_period = std::chrono::milliseconds(100);

constexpr uint8_t x_stx = 0x02, x_eot = 0x04, x_ack = 0x06, x_nak = 0x15, x_can = 0x18, x_c = 0x43, x_sub = 0x1A;
constexpr size_t x_data = 1024;

enum update_state {
    STATE_START = 0,
    STATE_WAIT_CONNECT = 1,
    STATE_QUERY = 2,
    STATE_USER_UPDATE = 8,
    STATE_WAIT_READY = 9,
    STATE_REPROGRAM = 10,
    STATE_RECONNECT = 11,
    STATE_WAIT_RECONNECT = 12,
    STATE_RETRY_DELAY = 13,
    STATE_XMODEM_START = 14,
    STATE_XMODEM_SEND = 15,
    STATE_WAIT_REBOOT = 16,
    STATE_END = 33,
};

enum receive_mode { RECEIVE_VISCA = 0, RECEIVE_TEXT = 1, RECEIVE_XMODEM = 2 };

struct packet {
    const char *name;
    uint8_t bytes[6];
    size_t length;
};

// The exchanges of states 2 to 8, in order.
const packet exchanges[] = {
    {"query", {0x81, 0x09, 0x00, 0x02, 0xFF}, 5},
    {"power off", {0x81, 0x01, 0x04, 0x00, 0x03, 0xFF}, 6},
    {"main 1", {0x81, 0x01, 0x04, 0x00, 0x0C, 0xFF}, 6},
    {"main 2", {0x81, 0x01, 0x04, 0x00, 0x0D, 0xFF}, 6},
    {"main 3", {0x81, 0x01, 0x04, 0x00, 0x13, 0xFF}, 6},
    {"main 4", {0x81, 0x01, 0x04, 0x00, 0x04, 0xFF}, 6},
    {"user update", {0x81, 0x01, 0x04, 0x00, 0x20, 0xFF}, 6},
};
const char reprogram[] = "reprogram ( )\r";
const uint8_t carriage_return[] = {0x0D};
const uint8_t cancel[] = {x_can, x_can, x_can};

// The state machine's fields; the update thread alone uses them, except
// where marked.
struct update_machine {
    visca_thread_record *record = nullptr;
    std::atomic<bool> started{false};  // the update thread runs
    // From a start until the end of its update (any thread).
    std::atomic<bool> busy{false};
    // Written by visca_start_update before it raises the request.
    char path[path_size] = "";
    visca_update_done done = nullptr;
    // Guarded by status_mutex.
    pthread_mutex_t status_mutex = PTHREAD_MUTEX_INITIALIZER;
    char step_text[text_size] = "0 of 0";
    char text_a[text_size] = "not active";
    char text_b[text_size] = "not active";

    std::string host;
    int port = 0;
    int connected = 0;
    int finished = 0;
    int steps_done = 0;
    int steps_total = 0;
    int state = STATE_START;
    bool entered = true;
    bool succeeded = false;
    int file = -1;
    long long file_size = 0;
    int socket = -1;
    struct ev_loop *loop = nullptr;
    ev_timer connect_timer{};
    ev_timer delay_timer{};
    ev_timer command_timer{};
    ev_timer pass_timer{};
    ev_io connect_watcher{};
    ev_io read_watcher{};
    int delay_ticks = 0;
    bool delay_elapsed = false;
    int connection_attempts = 0;  // reconnections since the program started
    int receive = RECEIVE_VISCA;
    bool waiting = false;
    bool acknowledged = false, completed = false, timed_out = false, error = false;
    bool ready = false, receive_line = false, reboot = false;
    bool x_acknowledged = false, x_refused = false, x_start = false;
    int can_count = 0;
    bool first_query_sent = false, second_query_sent = false, first_cr_sent = false, second_cr_sent = false;
    bool socket_closed_once = false;
    uint8_t buffer[32] = {};
    int buffer_count = 0;
    int line_start = 0;
    // The X-Modem transfer: the block on the line and how often it went.
    uint8_t block[3 + x_data + 2] = {};
    int block_number = 0;
    long long sent = 0;
    int tries = 0;
    bool end_sent = false;
};

update_machine machine;
std::atomic<double> time_scale{1.0};

double tick_seconds() { return time_scale.load(); }

uint16_t crc16(const uint8_t *data, size_t length)
{
    uint16_t crc = 0;
    for (size_t i = 0; i < length; ++i) {
        crc = static_cast<uint16_t>(crc ^ data[i] << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<uint16_t>(crc & 0x8000 ? crc << 1 ^ 0x1021 : crc << 1);
    }
    return crc;
}

void report(const char *text_a, const char *text_b)
{
    update_machine &m = machine;
    if (m.steps_total > steps_limit)
        m.steps_total = steps_limit;
    // A reconnection is a step the total does not foresee.
    if (m.steps_done > m.steps_total)
        m.steps_done = m.steps_total;
    trace(TRACE_VISCA, "status %d %d '%s' '%s'", m.steps_done, m.steps_total, text_a, text_b);
    pthread_mutex_lock(&m.status_mutex);
    snprintf(m.step_text, sizeof m.step_text, "%d of %d", m.steps_done, m.steps_total);
    vx4_copy_text(m.text_a, sizeof m.text_a, text_a);
    vx4_copy_text(m.text_b, sizeof m.text_b, text_b);
    pthread_mutex_unlock(&m.status_mutex);
}

void go(int state)
{
    machine.state = state;
    machine.entered = true;
    trace(TRACE_VISCA, "state %d", state);
}

// Leaving through the end state with the update not done.
void fail(const char *text_a, const char *text_b)
{
    report(text_a, text_b);
    go(STATE_END);
}

void close_socket()
{
    update_machine &m = machine;
    ev_io_stop(m.loop, &m.connect_watcher);
    ev_io_stop(m.loop, &m.read_watcher);
    ev_timer_stop(m.loop, &m.connect_timer);
    if (m.socket != -1)
        close(m.socket);
    m.socket = -1;
    m.connected = 0;
}

// Writes every byte (the socket is non-blocking; a block may not fit at
// once). A failure closes the socket.
bool send_bytes(const uint8_t *bytes, size_t length, const char *label = "sending")
{
    update_machine &m = machine;
    if (m.socket == -1)
        return false;
    trace_data(TRACE_VISCA, label, bytes, static_cast<int>(length < 64 ? length : 64));
    size_t done = 0;
    while (done < length) {
        ssize_t wrote = send(m.socket, bytes + done, length - done, MSG_NOSIGNAL);
        if (wrote > 0) {
            done += static_cast<size_t>(wrote);
            continue;
        }
        if (wrote < 0 && errno == EINTR)
            continue;
        pollfd writable{m.socket, POLLOUT, 0};
        if (wrote < 0 && errno == EAGAIN && poll(&writable, 1, static_cast<int>(exchange_seconds * 1000)) > 0)
            continue;
        trace(TRACE_VISCA, "send failure '%s'", strerror(wrote < 0 ? errno : EPIPE));
        close_socket();
        return false;
    }
    return true;
}

void start_delay(int ticks)
{
    update_machine &m = machine;
    ev_timer_stop(m.loop, &m.delay_timer);
    trace(TRACE_VISCA, "start delay %d", ticks);
    m.delay_ticks = ticks;
    m.delay_elapsed = false;
    ev_timer_set(&m.delay_timer, tick_seconds(), tick_seconds());
    ev_timer_start(m.loop, &m.delay_timer);
}

void start_command_timer(double seconds)
{
    update_machine &m = machine;
    ev_timer_stop(m.loop, &m.command_timer);
    ev_timer_set(&m.command_timer, seconds, 0);
    ev_timer_start(m.loop, &m.command_timer);
}

void on_delay_tick(struct ev_loop *loop, ev_timer *timer, int)
{
    update_machine &m = machine;
    if (m.delay_ticks <= 0)
        return;
    if (--m.delay_ticks == 0) {
        ev_timer_stop(loop, timer);
        trace(TRACE_VISCA, "delay timeout");
        m.delay_elapsed = true;
    } else {
        trace(TRACE_VISCA, "delay tick %d", m.delay_ticks);
    }
}

void on_command_timeout(struct ev_loop *, ev_timer *, int)
{
    trace(TRACE_VISCA, "command timeout");
    if (machine.waiting) {
        machine.timed_out = true;
        machine.waiting = false;
    }
}

void on_connect_timeout(struct ev_loop *, ev_timer *, int)
{
    trace(TRACE_VISCA, "connect timeout");
    close_socket();
}

void on_connect(struct ev_loop *loop, ev_io *, int)
{
    update_machine &m = machine;
    ev_io_stop(loop, &m.connect_watcher);
    ev_timer_stop(loop, &m.connect_timer);
    int error = 0;
    socklen_t size = sizeof error;
    if (getsockopt(m.socket, SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
        trace(TRACE_VISCA, "sockopt failure '%s'", strerror(errno));
        close_socket();
    } else if (error != 0) {
        trace(TRACE_VISCA, "connect error '%s'", strerror(error));
        close_socket();
    } else {
        trace(TRACE_VISCA, "connected");
        m.connected = 1;
        ev_io_start(loop, &m.read_watcher);
    }
}

bool line_is(const char *word)
{
    size_t length = strlen(word);
    int count = machine.buffer_count - machine.line_start;
    return count >= static_cast<int>(length) && memcmp(machine.buffer + machine.line_start, word, length) == 0;
}

void receive_byte(uint8_t byte)
{
    update_machine &m = machine;
    if (m.buffer_count < static_cast<int>(sizeof m.buffer))
        m.buffer[m.buffer_count++] = byte;
    trace(TRACE_VISCA, "rx %02X %d", byte, m.buffer_count);
    switch (m.receive) {
    case RECEIVE_VISCA:
        if (byte != 0xFF)
            return;
        if (m.buffer_count >= 2) {
            int type = m.buffer[1] >> 4;
            if (type == 0x4) {
                m.acknowledged = true;
                trace(TRACE_VISCA, "cmd ack");
            } else if (type == 0x5) {
                if (m.buffer_count == 10 && m.buffer[2] == 0x00 && m.buffer[3] == 0x20) {
                    trace(TRACE_VISCA, "version %04X %04X", m.buffer[4] << 8 | m.buffer[5],
                          m.buffer[6] << 8 | m.buffer[7]);
                }
                m.completed = true;
                m.waiting = false;
                ev_timer_stop(m.loop, &m.command_timer);
                trace(TRACE_VISCA, "cmd done");
            } else if (type == 0x6) {
                m.error = true;
                m.waiting = false;
                ev_timer_stop(m.loop, &m.command_timer);
                trace(TRACE_VISCA, "cmd error");
            }
        }
        m.buffer_count = 0;
        return;
    case RECEIVE_TEXT:
        if (byte != 0x0D)
            return;
        if (line_is("ready"))
            m.ready = true;
        if (line_is("receive")) {
            m.receive_line = true;
            // The loader's first "C" may follow in the same read.
            m.receive = RECEIVE_XMODEM;
            m.x_acknowledged = m.x_refused = m.x_start = false;
            m.can_count = 0;
        }
        if (line_is("reboot"))
            m.reboot = true;
        m.buffer_count = 0;
        return;
    default:
        if (byte == x_ack) {
            m.x_acknowledged = true;
            // "reboot" may follow the answer to the end in the same read.
            if (m.end_sent)
                m.receive = RECEIVE_TEXT;
        } else if (byte == x_nak) {
            m.x_refused = true;
        } else if (byte == x_c) {
            m.x_start = true;
        }
        if (byte == x_can) {
            ++m.can_count;
        } else {
            m.can_count = 0;
        }
        m.buffer_count = 0;
        return;
    }
}

void on_read(struct ev_loop *, ev_io *, int)
{
    update_machine &m = machine;
    uint8_t data[4096];
    ssize_t got = read(m.socket, data, sizeof data);
    if (got == 0) {
        // A closed socket stays readable: watching it on would spin.
        trace(TRACE_VISCA, "remote close");
        close_socket();
        return;
    }
    if (got < 0)
        return;
    trace_data(TRACE_VISCA, "read", data, static_cast<int>(got < 64 ? got : 64));
    for (ssize_t i = 0; i < got && m.waiting; ++i) {
        // A line starts after a CR; a lone LF before it is no part of it.
        if (m.receive == RECEIVE_TEXT && m.buffer_count == 0 && data[i] == 0x0A)
            continue;
        receive_byte(data[i]);
    }
}

// Opens a non-blocking socket and starts connecting; false (socket closed)
// when that fails at once.
bool open_connection()
{
    update_machine &m = machine;
    m.connected = 0;
    m.socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m.socket < 0) {
        trace(TRACE_VISCA, "socket failure '%s'", strerror(errno));
        return false;
    }
    int flags = fcntl(m.socket, F_GETFL);
    if (flags < 0) {
        trace(TRACE_VISCA, "fcntl failure '%s'", strerror(errno));
        close_socket();
        return false;
    }
    if (fcntl(m.socket, F_SETFL, flags | O_NONBLOCK) < 0) {
        trace(TRACE_VISCA, "nb failure '%s'", strerror(errno));
        close_socket();
        return false;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(m.port));
    int parsed = inet_pton(AF_INET, m.host.c_str(), &address.sin_addr);
    if (parsed < 1) {
        trace(TRACE_VISCA, "addr failure %d '%s'", parsed, strerror(errno));
        close_socket();
        return false;
    }
    ev_io_set(&m.connect_watcher, m.socket, EV_WRITE);
    ev_io_set(&m.read_watcher, m.socket, EV_READ);
    ev_timer_set(&m.connect_timer, connect_seconds, 0);
    ev_timer_start(m.loop, &m.connect_timer);
    ev_io_start(m.loop, &m.connect_watcher);
    if (connect(m.socket, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 && errno != EINPROGRESS) {
        trace(TRACE_VISCA, "connect start failure '%s'", strerror(errno));
        close_socket();
        return false;
    }
    return true;
}

void close_file()
{
    if (machine.file != -1) {
        trace(TRACE_VISCA, "close file");
        close(machine.file);
        machine.file = -1;
    }
}

// States 2 to 8: one VISCA packet and its answer within 2 s.
void exchange()
{
    update_machine &m = machine;
    const packet &p = exchanges[m.state - STATE_QUERY];
    if (m.entered) {
        m.entered = false;
        if (m.state == STATE_QUERY) {
            m.receive = RECEIVE_VISCA;
            trace(TRACE_VISCA, "exchange mode %d", RECEIVE_VISCA);
        }
        report("exchange", p.name);
        m.acknowledged = m.completed = m.timed_out = m.error = false;
        m.buffer_count = 0;
        start_command_timer(exchange_seconds);
        m.waiting = true;
        if (!send_bytes(p.bytes, p.length))
            go(STATE_END);
        return;
    }
    if (m.socket == -1) {
        go(STATE_END);
    } else if (!m.completed && !m.timed_out && !m.error) {
        return;
    } else if (m.completed && !m.timed_out && !m.error && (m.state == STATE_QUERY || m.acknowledged)) {
        ++m.steps_done;
        go(m.state + 1);
    } else {
        go(STATE_END);
    }
}

// Listens for text lines (or X-Modem control bytes) from the loader.
void listen(int mode)
{
    machine.receive = mode;
    machine.buffer_count = 0;
    machine.waiting = true;
    trace(TRACE_VISCA, "exchange mode %d", mode);
}

void state_start()
{
    update_machine &m = machine;
    m.entered = false;
    m.steps_done = 0;
    m.steps_total = 1;
    m.first_query_sent = m.second_query_sent = m.first_cr_sent = m.second_cr_sent = m.socket_closed_once = false;
    m.file = vx4_open_stick_file(m.path, &m.file_size);
    // An empty image would "update" the camera with nothing.
    if (m.file < 0 || m.file_size <= 0) {
        close_file();
        fail("invalid", "file");
        return;
    }
    trace(TRACE_VISCA, "file size %lld", m.file_size);
    if (!open_connection()) {
        fail("connect", "failure");
        return;
    }
    // One step per block sent, plus the twelve of the dialogue.
    long long blocks = (m.file_size + static_cast<long long>(x_data) - 1) / static_cast<long long>(x_data);
    m.steps_total = static_cast<int>(blocks + 12 < steps_limit ? blocks + 12 : steps_limit);
    trace(TRACE_VISCA, "total steps %d", m.steps_total);
    ++m.steps_done;
    report("wait", "connection");
    go(STATE_WAIT_CONNECT);
}

void state_wait_ready()
{
    update_machine &m = machine;
    if (m.entered) {
        m.entered = false;
        listen(RECEIVE_TEXT);
        m.ready = false;
        start_delay(loader_ticks);
        report("wait", "ready");
        return;
    }
    if (m.ready) {
        ++m.steps_done;
        go(STATE_REPROGRAM);
        return;
    }
    // Nudges for a loader that has not spoken yet.
    struct nudge {
        bool *sent;
        int at;
        const uint8_t *bytes;
        size_t length;
    };
    const nudge nudges[] = {
        {&m.first_query_sent, 120, exchanges[0].bytes, exchanges[0].length},
        {&m.second_query_sent, 115, exchanges[0].bytes, exchanges[0].length},
        {&m.first_cr_sent, 60, carriage_return, sizeof carriage_return},
        {&m.second_cr_sent, 55, carriage_return, sizeof carriage_return},
    };
    for (const nudge &n : nudges)
        if (!*n.sent && m.delay_ticks <= n.at && !m.delay_elapsed) {
            *n.sent = true;
            send_bytes(n.bytes, n.length);
        }
    // A loader that does not answer, or a connection the module dropped
    // while it restarted, is given one new connection.
    if (m.delay_elapsed || m.socket == -1) {
        if (m.socket_closed_once) {
            fail("wait", "failure");
            return;
        }
        m.socket_closed_once = true;
        if (m.socket != -1) {
            trace(TRACE_VISCA, "close socket");
            close_socket();
        }
        report("wait", "writer");
        go(STATE_RECONNECT);
    }
}

void state_reprogram()
{
    update_machine &m = machine;
    if (m.entered) {
        m.entered = false;
        m.receive_line = false;
        m.buffer_count = 0;
        m.waiting = true;
        send_bytes(reinterpret_cast<const uint8_t *>(reprogram), sizeof reprogram - 1);
        report("wait", "receive");
        return;
    }
    if (m.receive_line) {
        ++m.steps_done;
        go(STATE_XMODEM_START);
    } else if (m.delay_elapsed || m.socket == -1) {
        fail("wait", "failure");
    }
}

void state_xmodem_start()
{
    update_machine &m = machine;
    if (m.entered) {
        m.entered = false;
        // The flags were cleared when "receive" came: a "C" right behind it counts.
        m.receive = RECEIVE_XMODEM;
        m.waiting = true;
        trace(TRACE_VISCA, "exchange mode %d", RECEIVE_XMODEM);
        start_delay(loader_ticks);
        report("wait", "X-Modem start");
        return;
    }
    if (m.x_start) {
        m.x_start = false;
        go(STATE_XMODEM_SEND);
    } else if (m.delay_elapsed || m.socket == -1 || m.can_count >= 2) {
        fail("X-Modem", "failure");
    }
}

// Reads the next block of the image into the block buffer, padded.
bool next_block()
{
    update_machine &m = machine;
    uint8_t *data = m.block + 3;
    size_t filled = 0;
    while (filled < x_data) {
        ssize_t got = read(m.file, data + filled, x_data - filled);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            trace(TRACE_VISCA, "file read failure '%s'", strerror(errno));
            return false;
        }
        if (got == 0)
            break;
        filled += static_cast<size_t>(got);
    }
    if (filled == 0)
        return false;
    memset(data + filled, x_sub, x_data - filled);
    ++m.block_number;
    m.block[0] = x_stx;
    m.block[1] = static_cast<uint8_t>(m.block_number);
    m.block[2] = static_cast<uint8_t>(~m.block_number);
    uint16_t crc = crc16(data, x_data);
    m.block[3 + x_data] = static_cast<uint8_t>(crc >> 8);
    m.block[4 + x_data] = static_cast<uint8_t>(crc);
    m.sent += static_cast<long long>(filled);
    m.tries = 0;
    return true;
}

// Sends the block on the line again, or the end of the transfer.
bool send_current()
{
    update_machine &m = machine;
    m.x_acknowledged = m.x_refused = false;
    ++m.tries;
    start_command_timer(block_seconds);
    if (m.end_sent) {
        const uint8_t end[] = {x_eot};
        return send_bytes(end, sizeof end, "end");
    }
    return send_bytes(m.block, sizeof m.block, "block");
}

// X-Modem-1K with CRC, one block at a time: each answered by ACK; a NAK or
// no answer sends it again, up to a limit; two CANs end the transfer.
void state_xmodem_send()
{
    update_machine &m = machine;
    if (m.entered) {
        m.entered = false;
        ev_timer_stop(m.loop, &m.delay_timer);
        m.block_number = 0;
        m.sent = 0;
        m.end_sent = false;
        m.timed_out = false;
        if (lseek(m.file, 0, SEEK_SET) != 0 || !next_block()) {
            fail("X-Modem", "file");
            return;
        }
        report("X-Modem", "block 1");
        send_current();
        return;
    }
    if (m.socket == -1) {
        fail("X-Modem", "connection");
        return;
    }
    if (m.can_count >= 2) {
        trace(TRACE_VISCA, "transfer cancelled by the loader");
        fail("X-Modem", "cancelled");
        return;
    }
    if (m.x_acknowledged) {
        ev_timer_stop(m.loop, &m.command_timer);
        if (m.end_sent) {
            trace(TRACE_VISCA, "transfer done %lld", m.sent);
            go(STATE_WAIT_REBOOT);
            return;
        }
        ++m.steps_done;
        if (m.sent >= m.file_size || !next_block()) {
            if (m.sent < m.file_size) {
                fail("X-Modem", "file");
                return;
            }
            m.end_sent = true;
            m.tries = 0;
        } else {
            char text[text_size];
            snprintf(text, sizeof text, "block %d", m.block_number);
            report("X-Modem", text);
        }
        send_current();
        return;
    }
    if (!m.x_refused && !m.timed_out)
        return;
    trace(TRACE_VISCA, "%s %d, try %d", m.x_refused ? "nak" : "no answer", m.block_number, m.tries);
    m.timed_out = false;
    m.waiting = true;
    if (m.tries >= block_tries) {
        send_bytes(cancel, sizeof cancel, "cancel");
        fail("X-Modem", "failure");
        return;
    }
    send_current();
}

void state_wait_reboot()
{
    update_machine &m = machine;
    if (m.entered) {
        m.entered = false;
        m.reboot = false;
        // Text mode may have started already, with "reboot" on its way.
        if (m.receive != RECEIVE_TEXT)
            listen(RECEIVE_TEXT);
        else
            trace(TRACE_VISCA, "exchange mode %d", RECEIVE_TEXT);
        m.waiting = true;
        start_delay(loader_ticks);
        report("wait", "reboot");
        return;
    }
    if (m.reboot) {
        ++m.steps_done;
        m.succeeded = true;
        go(STATE_END);
    } else if (m.delay_elapsed) {
        fail("wait", "failure");
    }
}

void state_reconnect()
{
    update_machine &m = machine;
    ++m.connection_attempts;
    m.entered = false;
    if (open_connection()) {
        report("connect", "pending");
        go(STATE_WAIT_RECONNECT);
    } else {
        report("connect", "failure");
        go(STATE_RETRY_DELAY);
    }
}

void state_end()
{
    update_machine &m = machine;
    if (m.entered) {
        m.entered = false;
        m.waiting = false;
        if (m.socket != -1) {
            trace(TRACE_VISCA, "close socket");
            close_socket();
        }
        close_file();
        // Only a module that took the whole image and restarted is updated.
        report("update", m.succeeded ? "complete" : "failure");
        start_delay(end_ticks);
        return;
    }
    if (m.delay_elapsed)
        m.finished = 1;
}

void run_state()
{
    update_machine &m = machine;
    switch (m.state) {
    case STATE_START:
        state_start();
        break;
    case STATE_WAIT_CONNECT:
        if (m.socket == -1) {
            fail("connect", "failure");
        } else if (m.connected) {
            std::this_thread::sleep_for(pass_period);
            ++m.steps_done;
            go(STATE_QUERY);
        }
        break;
    case STATE_WAIT_READY:
        state_wait_ready();
        break;
    case STATE_REPROGRAM:
        state_reprogram();
        break;
    case STATE_RECONNECT:
        state_reconnect();
        break;
    case STATE_WAIT_RECONNECT:
        if (m.socket == -1) {
            go(STATE_RETRY_DELAY);
        } else if (m.connected) {
            ++m.steps_done;
            m.first_query_sent = m.second_query_sent = m.first_cr_sent = m.second_cr_sent = false;
            go(STATE_WAIT_READY);
        }
        break;
    case STATE_RETRY_DELAY:
        if (m.entered) {
            m.entered = false;
            start_delay(retry_ticks);
        }
        if (m.connection_attempts > attempt_limit)
            fail("connect", "failure");
        else if (m.delay_elapsed)
            go(STATE_RECONNECT);
        break;
    case STATE_XMODEM_START:
        state_xmodem_start();
        break;
    case STATE_XMODEM_SEND:
        state_xmodem_send();
        break;
    case STATE_WAIT_REBOOT:
        state_wait_reboot();
        break;
    case STATE_END:
        state_end();
        break;
    default:
        if (m.state >= STATE_QUERY && m.state <= STATE_USER_UPDATE)
            exchange();
        else
            go(STATE_END);
        break;
    }
}

void on_pass(struct ev_loop *, ev_timer *, int) {}

// One update, from the hand-over to the end state's pause.
void run_update()
{
    update_machine &m = machine;
    m.loop = ev_loop_new(EVBACKEND_POLL);
    if (!m.loop)
        return;
    m.finished = 0;
    m.succeeded = false;
    ev_timer_init(&m.connect_timer, on_connect_timeout, connect_seconds, 0);
    ev_timer_init(&m.delay_timer, on_delay_tick, tick_seconds(), tick_seconds());
    ev_timer_init(&m.command_timer, on_command_timeout, connect_seconds, 0);
    // The machine runs at least every 100 ms, and at once after any reply,
    // so that a transfer goes as fast as the loader answers.
    ev_timer_init(&m.pass_timer, on_pass, 0.1, 0.1);
    ev_timer_start(m.loop, &m.pass_timer);
    ev_io_init(&m.connect_watcher, on_connect, -1, EV_WRITE);
    ev_io_init(&m.read_watcher, on_read, -1, EV_READ);
    m.state = STATE_START;
    m.entered = true;
    trace(TRACE_VISCA, "state %d", m.state);
    while (!m.finished) {
        int state;
        do {
            state = m.state;
            run_state();
        } while (m.state != state && !m.finished);  // a new state does its entry work at once
        if (!m.finished && !ev_run(m.loop, EVRUN_ONCE))
            trace(TRACE_VISCA, "no events");
    }
    ev_io_stop(m.loop, &m.connect_watcher);
    ev_io_stop(m.loop, &m.read_watcher);
    for (ev_timer *timer : {&m.connect_timer, &m.delay_timer, &m.command_timer, &m.pass_timer})
        ev_timer_stop(m.loop, timer);
    if (m.socket != -1) {
        trace(TRACE_VISCA, "close socket");
        close_socket();
    }
    close_file();
    ev_loop_destroy(m.loop);
    m.loop = nullptr;
}

void *update_thread(void *)
{
    update_machine &m = machine;
    visca_thread_record *record = m.record;
    for (;;) {
        pthread_mutex_lock(&record->update_start_mutex);
        while (!record->update_started)
            pthread_cond_wait(&record->update_start_condition, &record->update_start_mutex);
        record->update_started = 0;
        pthread_mutex_unlock(&record->update_start_mutex);
        trace(TRACE_VISCA, "update begin");
        run_update();
        trace(TRACE_VISCA, "update end");
        visca_update_done done = m.done;
        m.busy = false;
        visca_report_update_end(record);
        if (done)
            done();
    }
    return nullptr;
}

std::string find_update_file() { return vx4_find_stick_file(update_folder, update_pattern); }

}  // namespace

void visca_init_update(visca_thread_record *record)
{
    update_machine &m = machine;
    if (m.started.exchange(true))
        return;
    m.record = record;
    m.host = record->host ? record->host : vx4_platform().camera_host;
    m.port = vx4_platform().camera_visca_port;
    pthread_t thread;
    if (pthread_create(&thread, nullptr, update_thread, nullptr) != 0) {
        trace(TRACE_VISCA, "update thread failure");
        m.started = false;
        return;
    }
    pthread_detach(thread);
}

int visca_start_update(visca_thread_record *record, visca_update_done done)
{
    update_machine &m = machine;
    if (!m.started || m.record != record)
        return 0;
    std::string path = find_update_file();
    if (path.empty() || path.size() >= path_size)
        return 0;
    bool idle = false;
    if (!m.busy.compare_exchange_strong(idle, true))
        return 0;
    vx4_copy_text(m.path, sizeof m.path, path);
    m.done = done;
    visca_request_suspension(record);
    return 1;
}

int visca_get_update_available(char *buffer, size_t size)
{
    std::string path = find_update_file();
    vx4_copy_text(buffer, size, path);
    return path.empty() ? 0 : 1;
}

void visca_load_update_version(char *buffer, size_t size)
{
    vx4_copy_text(buffer, size, vx4_stick_file_version(find_update_file()));
}

void visca_load_update_status(visca_thread_record *, char *step, size_t step_size, char *text_a, size_t text_a_size,
                              char *text_b, size_t text_b_size)
{
    update_machine &m = machine;
    pthread_mutex_lock(&m.status_mutex);
    vx4_copy_text(step, step_size, m.step_text);
    vx4_copy_text(text_a, text_a_size, m.text_a);
    vx4_copy_text(text_b, text_b_size, m.text_b);
    pthread_mutex_unlock(&m.status_mutex);
}

void visca_set_update_time_scale(double scale) { time_scale = scale > 0 ? scale : 1.0; }
