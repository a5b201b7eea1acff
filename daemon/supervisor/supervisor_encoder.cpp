#include "supervisor/supervisor_encoder.h"

#include <arpa/inet.h>
#include <json-c/json.h>
#include <netdb.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "core/trace.h"

namespace {

constexpr int max_fields = 24;
constexpr int max_temperature_words = 7;
constexpr double connect_seconds = 1.0;
constexpr double response_seconds = 0.75;  // 150 reads 5 ms apart
constexpr size_t receive_size = 1024;

const char *const requests[] = {
    "POST /cgi-bin/control.cgi?action=GetStatus&chn=1 HTTP/1.1\r\n\r\n",
    "POST /cgi-bin/control.cgi?action=GetStatus&chn=2 HTTP/1.1\r\n\r\n",
    "POST /cgi-bin/control.cgi?action=EncoderStatus HTTP/1.1\r\n\r\n",
    "POST /cgi-bin/control.cgi?action=StreamStatus HTTP/1.1\r\n\r\n",
    "POST /cgi-bin/control.cgi?action=TempStatus HTTP/1.1\r\n\r\n",
    "GET /cgi-bin/control.cgi?ctrl=stats&chn= HTTP/1.1\r\n\r\n",
};
constexpr int request_count = 6;

std::vector<std::string_view> split(std::string_view text, char separator, size_t limit, bool skip_empty)
{
    std::vector<std::string_view> parts;
    size_t start = 0;
    while (parts.size() < limit) {
        size_t end = text.find(separator, start);
        std::string_view part = text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
        if (!skip_empty || !part.empty())
            parts.push_back(part);
        if (end == std::string_view::npos)
            break;
        start = end + 1;
    }
    return parts;
}

std::string_view first_word(std::string_view field)
{
    size_t start = field.find_first_not_of(' ');
    if (start == std::string_view::npos)
        return {};
    field.remove_prefix(start);
    return field.substr(0, field.find(' '));
}

// The word followed by fields first..last (as far as they exist), joined
// with single spaces.
void join_channel(std::string_view word, const std::vector<std::string_view> &fields, size_t first, size_t last,
                  char out[VX4_CHANNEL_TEXT])
{
    std::string text(word);
    for (size_t i = first; i <= last && i < fields.size(); ++i) {
        std::string_view value = first_word(fields[i]);
        if (value.empty())
            continue;
        text += ' ';
        text += value;
    }
    snprintf(out, VX4_CHANNEL_TEXT, "%s", text.c_str());
}

bool parse_number(std::string_view word, double *value)
{
    std::string text(word);
    char *end = nullptr;
    errno = 0;
    double number = strtod(text.c_str(), &end);
    if (text.empty() || *end || errno == ERANGE || !std::isfinite(number))
        return false;
    *value = number;
    return true;
}

bool starts_with_nocase(const std::string &text, const char *prefix)
{
    return strncasecmp(text.c_str(), prefix, strlen(prefix)) == 0;
}

void end_header_line(vx4_http_response *response)
{
    std::string &line = response->line;
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    if (line.empty()) {
        response->headers_done = true;
        response->complete = response->content_length == 0;
    } else if (!response->status_seen) {
        response->status_seen = true;
        size_t space = line.find(' ');
        if (line.rfind("HTTP/1.1", 0) == 0 && space != std::string::npos) {
            char *end = nullptr;
            long status = strtol(line.c_str() + space + 1, &end, 10);
            if (end != line.c_str() + space + 1 && status >= 100 && status <= 999)
                response->status = static_cast<int>(status);
        }
    } else if (starts_with_nocase(line, "Content-Length:")) {
        const char *digits = line.c_str() + strlen("Content-Length:");
        digits += strspn(digits, " \t");
        char *end = nullptr;
        errno = 0;
        unsigned long long length = strtoull(digits, &end, 10);
        if (*digits >= '0' && *digits <= '9' && errno != ERANGE && *(end + strspn(end, " \t")) == '\0')
            response->content_length = length;
    }
    line.clear();
}

// The poll in progress: one at a time, driven by the loop's watchers.
struct encoder_poll {
    bool active = false;
    struct ev_loop *loop = nullptr;
    int fd = -1;
    ev_io watcher;
    ev_timer deadline;
    bool connecting = false;
    int request = 0;
    size_t sent = 0;
    vx4_http_response response;
    std::string leftover;  // bytes read past the response
    vx4_encoder_done done = nullptr;
};
encoder_poll active_poll;

void on_socket(struct ev_loop *loop, ev_io *watcher, int events);
void on_deadline(struct ev_loop *loop, ev_timer *timer, int events);

void watch(int events, double seconds)
{
    ev_io_stop(active_poll.loop, &active_poll.watcher);
    ev_io_set(&active_poll.watcher, active_poll.fd, events);
    ev_io_start(active_poll.loop, &active_poll.watcher);
    if (seconds > 0) {
        ev_timer_stop(active_poll.loop, &active_poll.deadline);
        ev_timer_set(&active_poll.deadline, seconds, 0.0);
        ev_timer_start(active_poll.loop, &active_poll.deadline);
    }
}

void report_temperatures(const char *text, const vx4_camera_temperatures &found)
{
    if (!(found.lens > 100 || found.fpga > 100 || found.cpu > 100))
        return;
    trace(TRACE_CAMERA_STATUS, "*** INVALID ***");
    for (std::string_view word : split(text, ' ', max_temperature_words, true))
        trace(TRACE_CAMERA_STATUS, "*** ctt: '%.*s'", static_cast<int>(word.size()), word.data());
    trace(TRACE_CAMERA_STATUS, "***************");
}

void finish(bool answered)
{
    ev_io_stop(active_poll.loop, &active_poll.watcher);
    ev_timer_stop(active_poll.loop, &active_poll.deadline);
    if (active_poll.fd >= 0) {
        shutdown(active_poll.fd, SHUT_RDWR);
        close(active_poll.fd);
        active_poll.fd = -1;
    }
    vx4_encoder_status status;
    status.answered = answered;
    snprintf(status.channel_1, sizeof status.channel_1, "%s", VX4_NO_STREAM);
    snprintf(status.channel_2, sizeof status.channel_2, "%s", VX4_NO_STREAM);
    status.temperatures = {NAN, NAN, NAN};
    if (answered) {
        json_object *stats = json_tokener_parse(active_poll.response.body.c_str());
        if (stats && json_object_is_type(stats, json_type_object)) {
            json_object *value;
            if (json_object_object_get_ex(stats, "encoder_status_str", &value) &&
                json_object_is_type(value, json_type_string))
                vx4_parse_encoder_status(json_object_get_string(value), status.channel_1, status.channel_2);
            if (json_object_object_get_ex(stats, "temp_status_str", &value) &&
                json_object_is_type(value, json_type_string)) {
                const char *text = json_object_get_string(value);
                status.temperatures = vx4_parse_temp_status(text);
                report_temperatures(text, status.temperatures);
            }
        }
        json_object_put(stats);
    }
    active_poll.active = false;
    if (active_poll.done)
        active_poll.done(status);
}

// The response to the current request has ended (complete, closed or timed
// out): go on with the next request, or end the active_poll.
void end_response()
{
    int status = active_poll.response.status;
    if (status != 200) {
        trace(TRACE_CAMERA_STATUS, "http %c response %d", 'a' + active_poll.request, status);
        finish(false);
        return;
    }
    if (++active_poll.request == request_count) {
        finish(true);
        return;
    }
    active_poll.sent = 0;
    watch(EV_WRITE, response_seconds);
}

void feed(const char *data, size_t count)
{
    size_t used = vx4_feed_http_response(&active_poll.response, data, count);
    if (!active_poll.response.complete)
        return;
    active_poll.leftover.assign(data + used, count - used);
    end_response();
}

void send_request()
{
    const char *text = requests[active_poll.request];
    size_t length = strlen(text);
    ssize_t n = send(active_poll.fd, text + active_poll.sent, length - active_poll.sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return;  // the watcher calls again once it can be written
    if (n < 0) {
        if (errno == EPIPE)
            trace(TRACE_CAMERA_STATUS, " tx fail EPIPE");
        trace(TRACE_CAMERA_STATUS, "http %c response %d", 'a' + active_poll.request, 500);
        finish(false);
        return;
    }
    active_poll.sent += static_cast<size_t>(n);
    if (active_poll.sent < length)
        return;
    active_poll.response = vx4_http_response{};
    watch(EV_READ, response_seconds);
    if (!active_poll.leftover.empty()) {
        std::string bytes;
        bytes.swap(active_poll.leftover);
        feed(bytes.data(), bytes.size());
    }
}

void on_socket(struct ev_loop *, ev_io *, int events)
{
    if (active_poll.connecting) {
        int error = 0;
        socklen_t length = sizeof error;
        if (getsockopt(active_poll.fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
            error = errno;
        if (error) {
            trace(TRACE_CAMERA_STATUS, "http open fail %d", error);
            finish(false);
            return;
        }
        active_poll.connecting = false;
        send_request();
        return;
    }
    if (events & EV_WRITE) {
        send_request();
        return;
    }
    char data[receive_size];
    ssize_t n = recv(active_poll.fd, data, sizeof data, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (n <= 0) {
        end_response();  // the camera closed the connection: what came is the answer
        return;
    }
    feed(data, static_cast<size_t>(n));
}

void on_deadline(struct ev_loop *, ev_timer *, int)
{
    if (active_poll.connecting) {
        trace(TRACE_CAMERA_STATUS, "http open fail %d", ETIMEDOUT);
        finish(false);
        return;
    }
    end_response();
}

bool resolve(const char *host, int port, sockaddr_in *address)
{
    *address = {};
    address->sin_family = AF_INET;
    address->sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, host, &address->sin_addr) == 1)
        return true;
    addrinfo hints{}, *found = nullptr;
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    if (getaddrinfo(host, nullptr, &hints, &found) != 0 || !found)
        return false;
    address->sin_addr = reinterpret_cast<sockaddr_in *>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
    return true;
}

}  // namespace

void vx4_parse_encoder_status(const char *text, char channel_1[VX4_CHANNEL_TEXT], char channel_2[VX4_CHANNEL_TEXT])
{
    std::vector<std::string_view> fields = split(text, '|', max_fields, false);
    if (fields.size() < 8)
        return;
    std::vector<std::string_view> words = split(fields[7], ' ', SIZE_MAX, true);
    std::string_view channel = words.size() >= 2 ? words[words.size() - 2] : fields[0];
    if (channel == "1") {
        join_channel(channel, fields, 8, 14, channel_1);
        if (fields.size() >= 16 && first_word(fields[15]) == "2")
            join_channel("2", fields, 16, 22, channel_2);
    } else if (channel == "2") {
        join_channel(channel, fields, 8, 14, channel_2);
    }
}

vx4_camera_temperatures vx4_parse_temp_status(const char *text)
{
    vx4_camera_temperatures found = {NAN, NAN, NAN};
    std::vector<std::string_view> words = split(text, ' ', max_temperature_words, true);
    for (size_t i = 0; i + 1 < words.size(); ++i) {
        double *slot = words[i] == "+LENS" ? &found.lens
                       : words[i] == "+FPGA" ? &found.fpga
                       : words[i] == "+CPU"  ? &found.cpu
                                             : nullptr;
        double value;
        if (slot && parse_number(words[i + 1], &value))
            *slot = value;
    }
    return found;
}

size_t vx4_feed_http_response(vx4_http_response *response, const char *data, size_t count)
{
    size_t used = 0;
    while (used < count && !response->complete) {
        if (!response->headers_done) {
            char c = data[used++];
            if (c == '\n')
                end_header_line(response);
            else if (response->line.size() < VX4_HTTP_LINE)
                response->line += c;
            continue;
        }
        unsigned long long remaining = response->content_length - response->body_read;
        size_t take = static_cast<size_t>(std::min<unsigned long long>(remaining, count - used));
        size_t keep = std::min(take, VX4_ENCODER_BODY - std::min(VX4_ENCODER_BODY, response->body.size()));
        response->body.append(data + used, keep);
        response->body_read += take;
        used += take;
        response->complete = response->body_read == response->content_length;
    }
    return used;
}

bool vx4_start_encoder_poll(struct ev_loop *loop, const char *host, int port, vx4_encoder_done done)
{
    if (active_poll.active)
        return false;
    active_poll.active = true;
    active_poll.loop = loop;
    active_poll.done = done;
    active_poll.request = 0;
    active_poll.sent = 0;
    active_poll.connecting = false;
    active_poll.response = vx4_http_response{};
    active_poll.leftover.clear();
    ev_io_init(&active_poll.watcher, on_socket, -1, EV_READ);
    ev_timer_init(&active_poll.deadline, on_deadline, connect_seconds, 0.0);

    sockaddr_in address;
    active_poll.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (active_poll.fd < 0 || !resolve(host, port, &address)) {
        trace(TRACE_CAMERA_STATUS, "http open fail %d", active_poll.fd < 0 ? errno : EHOSTUNREACH);
        finish(false);
        return true;
    }
    if (connect(active_poll.fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0) {
        send_request();
        if (active_poll.active && active_poll.sent < strlen(requests[0]))
            watch(EV_WRITE, response_seconds);
        return true;
    }
    if (errno != EINPROGRESS) {
        trace(TRACE_CAMERA_STATUS, "http open fail %d", errno);
        finish(false);
        return true;
    }
    active_poll.connecting = true;
    watch(EV_WRITE, connect_seconds);
    return true;
}
