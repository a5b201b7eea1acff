// The simulated camera module's HTTP status service: the encoder's
// /cgi-bin/control.cgi requests on kept-open connections, with the stream
// and temperature strings and the faults the control API sets.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "control_server.h"
#include "net.h"
#include "sim_module.h"

namespace {

constexpr size_t request_limit = 8192;  // a longer head closes the connection
constexpr size_t request_log_size = 100;

using Clock = std::chrono::steady_clock;

std::vector<std::string> words(const std::string &text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string word; in >> word;)
        out.push_back(word);
    return out;
}

class HttpStatusModule : public SimModule {
public:
    HttpStatusModule(int port, ControlServer &control) : port_(port)
    {
        if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0)
            throw std::runtime_error("camera http: pipe failed");
        listen_fd_ = listen_loopback(port_, 8, SOCK_NONBLOCK);
        if (listen_fd_ < 0)
            throw std::runtime_error("camera http: cannot listen on 127.0.0.1:" + std::to_string(port) + ": " +
                                     strerror(errno));
        add_routes(control);
        thread_ = std::thread(&HttpStatusModule::serve, this);
    }

    ~HttpStatusModule() override
    {
        {
            std::lock_guard<std::mutex> hold(lock_);
            stop_ = true;
        }
        wake();
        thread_.join();
        for (Client &client : clients_)
            close(client.fd);
        if (listen_fd_ >= 0)
            close(listen_fd_);
        close(wake_[0]);
        close(wake_[1]);
    }

private:
    struct Response {
        Clock::time_point due;
        std::string bytes;
    };
    struct Client {
        int fd;
        std::string input;
        std::deque<Response> pending;
    };

    void wake()
    {
        char byte = 1;
        ssize_t ignored = write(wake_[1], &byte, 1);
        (void)ignored;
    }

    // Everything below runs with lock_ held.

    // The encoder's status line: fields split at '|'. Field 7 names the
    // channel the next seven fields describe; a second channel follows as
    // field 15 ("2") and its seven fields. An empty channel is left out.
    std::string encoder_status() const
    {
        if (raw_encoder_)
            return encoder_raw_;
        std::vector<std::string> one = words(channel_1_), two = words(channel_2_);
        std::vector<std::string> fields{"X4-ENC", "fw 2.1.7", "up 86400", "load 12", "mem 40", "net up", "ntp off"};
        auto add_channel = [&fields](const std::vector<std::string> &values) {
            for (size_t i = 0; i < 7; ++i)
                fields.push_back(i < values.size() ? values[i] : "-");
        };
        if (!one.empty()) {
            fields.push_back("stream channel 1 on");
            add_channel(one);
            if (!two.empty()) {
                fields.push_back("2");
                add_channel(two);
            }
        } else if (!two.empty()) {
            fields.push_back("stream channel 2 on");
            add_channel(two);
        } else {
            fields.push_back("stream channel 0 off");
        }
        std::string text;
        for (const std::string &field : fields)
            text += (text.empty() ? "" : "|") + field;
        return text;
    }

    std::string temp_status() const
    {
        if (raw_temp_)
            return temp_raw_;
        char text[128];
        snprintf(text, sizeof text, "+LENS %.2f +FPGA %.2f +CPU %.2f", lens_, fpga_, cpu_);
        return text;
    }

    std::string stats_body() const
    {
        if (garbled_)
            return "{\"encoder_status_str\": \"X4-ENC|fw 2.1.7|up 8";  // cut short, not JSON
        json_object *body = json_object_new_object();
        json_object_object_add(body, "encoder_status_str", json_object_new_string(encoder_status().c_str()));
        json_object_object_add(body, "temp_status_str", json_object_new_string(temp_status().c_str()));
        json_object_object_add(body, "uptime", json_object_new_int(86400));
        std::string text = json_object_to_json_string_ext(body, JSON_C_TO_STRING_PLAIN);
        json_object_put(body);
        return text;
    }

    std::string answer(const std::string &method, const std::string &target)
    {
        ++requests_;
        log_.push_back(method + " " + target);
        if (log_.size() > request_log_size)
            log_.pop_front();
        int status = 200;
        std::string body;
        const std::string base = "/cgi-bin/control.cgi?";
        if (method == "GET" && target == base + "ctrl=stats&chn=") {
            body = stats_body();
        } else if (method == "POST" && target.rfind(base + "action=", 0) == 0) {
            std::string action = target.substr(base.size() + 7);
            if (action == "GetStatus&chn=1" || action == "GetStatus&chn=2" || action == "EncoderStatus" ||
                action == "StreamStatus" || action == "TempStatus")
                body = "result=ok&action=" + action;
            else
                status = 404;
        } else {
            status = 404;
        }
        if (status == 200 && status_ != 200)
            status = status_;
        if (status != 200)
            body = "error " + std::to_string(status);
        const char *reason = status == 200 ? "OK" : status == 404 ? "Not Found" : "Error";
        return "HTTP/1.1 " + std::to_string(status) + " " + reason +
               "\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    }

    // Takes whole request heads off the input; false when the client must go.
    bool take_requests(Client &client)
    {
        for (;;) {
            size_t end = client.input.find("\r\n\r\n");
            if (end == std::string::npos)
                return client.input.size() <= request_limit;
            std::string head = client.input.substr(0, end);
            client.input.erase(0, end + 4);
            std::string line = head.substr(0, head.find("\r\n"));
            size_t first = line.find(' ');
            size_t second = first == std::string::npos ? std::string::npos : line.find(' ', first + 1);
            if (second == std::string::npos)
                return false;
            std::string response = answer(line.substr(0, first), line.substr(first + 1, second - first - 1));
            if (!silent_)
                client.pending.push_back({Clock::now() + std::chrono::milliseconds(delay_ms_), std::move(response)});
        }
    }

    bool read_client(Client &client)
    {
        char data[4096];
        ssize_t got = recv(client.fd, data, sizeof data, MSG_DONTWAIT);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR))
            return false;
        if (got > 0)
            client.input.append(data, static_cast<size_t>(got));
        return take_requests(client);
    }

    bool send_due(Client &client, Clock::time_point at)
    {
        while (!client.pending.empty() && client.pending.front().due <= at) {
            if (!send_all(client.fd, client.pending.front().bytes))
                return false;
            ++responses_;
            client.pending.pop_front();
        }
        return true;
    }

    int poll_timeout(Clock::time_point at) const
    {
        int timeout = -1;
        for (const Client &client : clients_)
            if (!client.pending.empty()) {
                auto wait = std::chrono::ceil<std::chrono::milliseconds>(client.pending.front().due - at).count();
                int ms = static_cast<int>(std::max<long long>(0, wait));
                timeout = timeout < 0 ? ms : std::min(timeout, ms);
            }
        return timeout;
    }

    void drop_clients()
    {
        for (Client &client : clients_)
            close(client.fd);
        clients_.clear();
    }

    void apply_refusal()
    {
        if (refuse_ && listen_fd_ >= 0) {
            close(listen_fd_);
            listen_fd_ = -1;
            drop_clients();
        } else if (!refuse_ && listen_fd_ < 0) {
            listen_fd_ = listen_loopback(port_, 8, SOCK_NONBLOCK);
        }
    }

    void serve()
    {
        std::vector<pollfd> watch;
        for (;;) {
            int timeout;
            {
                std::lock_guard<std::mutex> hold(lock_);
                if (stop_)
                    return;
                apply_refusal();
                watch.assign({{wake_[0], POLLIN, 0}, {listen_fd_, POLLIN, 0}});
                for (const Client &client : clients_)
                    watch.push_back({client.fd, POLLIN, 0});
                timeout = poll_timeout(Clock::now());
            }
            if (poll(watch.data(), watch.size(), timeout) < 0 && errno != EINTR)
                return;
            std::lock_guard<std::mutex> hold(lock_);
            if (watch[0].revents) {
                char drain[64];
                while (read(wake_[0], drain, sizeof drain) > 0) {
                }
            }
            if (listen_fd_ >= 0 && watch[1].fd == listen_fd_ && (watch[1].revents & POLLIN)) {
                int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
                if (fd >= 0) {
                    clients_.push_back({fd, {}, {}});
                    ++connections_accepted_;
                }
            }
            for (size_t i = 2; i < watch.size(); ++i) {
                if (!watch[i].revents)
                    continue;
                auto found = std::find_if(clients_.begin(), clients_.end(),
                                          [&](const Client &c) { return c.fd == watch[i].fd; });
                if (found != clients_.end() && !read_client(*found)) {
                    close(found->fd);
                    clients_.erase(found);
                }
            }
            Clock::time_point at = Clock::now();
            for (size_t i = clients_.size(); i-- > 0;)
                if (!send_due(clients_[i], at)) {
                    close(clients_[i].fd);
                    clients_.erase(clients_.begin() + static_cast<long>(i));
                }
        }
    }

    json_object *describe() const
    {
        json_object *body = json_object_new_object();
        auto add = [body](const char *key, json_object *value) { json_object_object_add(body, key, value); };
        add("port", json_object_new_int(port_));
        add("channel_1", json_object_new_string(channel_1_.c_str()));
        add("channel_2", json_object_new_string(channel_2_.c_str()));
        add("fpga", json_object_new_double(fpga_));
        add("lens", json_object_new_double(lens_));
        add("cpu", json_object_new_double(cpu_));
        add("encoder_status_str", json_object_new_string(encoder_status().c_str()));
        add("temp_status_str", json_object_new_string(temp_status().c_str()));
        json_object *faults = json_object_new_object();
        json_object_object_add(faults, "silent", json_object_new_boolean(silent_));
        json_object_object_add(faults, "refuse", json_object_new_boolean(refuse_));
        json_object_object_add(faults, "status", json_object_new_int(status_));
        json_object_object_add(faults, "garbled", json_object_new_boolean(garbled_));
        json_object_object_add(faults, "delay_ms", json_object_new_int(delay_ms_));
        add("faults", faults);
        add("connections", json_object_new_int(static_cast<int>(clients_.size())));
        add("connections_accepted", json_object_new_int64(connections_accepted_));
        add("requests", json_object_new_int64(requests_));
        add("responses", json_object_new_int64(responses_));
        json_object *log = json_object_new_array();
        for (const std::string &request : log_)
            json_object_array_add(log, json_object_new_string(request.c_str()));
        add("last_requests", log);
        return body;
    }

    void add_routes(ControlServer &control)
    {
        control.route("GET", "/camera/http", "the HTTP status service: strings, faults, counters, last requests",
                      [this](const ControlRequest &) {
                          std::lock_guard<std::mutex> hold(lock_);
                          return control_ok(describe());
                      });
        control.route("POST", "/camera/http/status",
                      "{channel_1, channel_2, fpga, lens, cpu, encoder_status_str, temp_status_str}: what the "
                      "statistics request reports; the raw strings replace the composed ones",
                      [this](const ControlRequest &r) {
                          std::lock_guard<std::mutex> hold(lock_);
                          std::string text;
                          double number;
                          if (json_get_string(r.body, "channel_1", &text)) {
                              channel_1_ = text;
                              raw_encoder_ = false;
                          }
                          if (json_get_string(r.body, "channel_2", &text)) {
                              channel_2_ = text;
                              raw_encoder_ = false;
                          }
                          const std::pair<const char *, double *> temperatures[] = {
                              {"fpga", &fpga_}, {"lens", &lens_}, {"cpu", &cpu_}};
                          for (auto [key, value] : temperatures)
                              if (json_get_double(r.body, key, &number)) {
                                  *value = number;
                                  raw_temp_ = false;
                              }
                          if (json_get_string(r.body, "encoder_status_str", &encoder_raw_))
                              raw_encoder_ = true;
                          if (json_get_string(r.body, "temp_status_str", &temp_raw_))
                              raw_temp_ = true;
                          return control_ok(describe());
                      });
        control.route("POST", "/camera/http/faults",
                      "{silent, refuse, status, garbled, delay_ms}: read requests and answer nothing; refuse "
                      "connections; answer with this status; statistics body that is not JSON; delay every answer",
                      [this](const ControlRequest &r) {
                          bool flag;
                          long long number;
                          {
                              std::lock_guard<std::mutex> hold(lock_);
                              if (json_get_bool(r.body, "silent", &flag))
                                  silent_ = flag;
                              if (json_get_bool(r.body, "refuse", &flag))
                                  refuse_ = flag;
                              if (json_get_bool(r.body, "garbled", &flag))
                                  garbled_ = flag;
                              if (json_get_int(r.body, "status", &number)) {
                                  if (number < 100 || number > 999)
                                      return control_error(400, "status must be a three-digit HTTP status");
                                  status_ = static_cast<int>(number);
                              }
                              if (json_get_int(r.body, "delay_ms", &number))
                                  delay_ms_ = static_cast<int>(std::clamp(number, 0LL, 600000LL));
                          }
                          wake();
                          // A refusal takes effect before the reply.
                          for (int i = 0; i < 200; ++i) {
                              {
                                  std::lock_guard<std::mutex> hold(lock_);
                                  if (refuse_ == (listen_fd_ < 0))
                                      return control_ok(describe());
                              }
                              std::this_thread::sleep_for(std::chrono::milliseconds(5));
                          }
                          return control_error(409, "the fault could not be applied (listening port busy?)");
                      });
    }

    int port_;
    int wake_[2] = {-1, -1};
    int listen_fd_ = -1;
    std::mutex lock_;
    std::vector<Client> clients_;
    bool stop_ = false;
    std::string channel_1_ = "H264 1920x1080 30fps 4096kbps CBR RTSP live";
    std::string channel_2_ = "H264 1280x720 30fps 2048kbps CBR RTSP live";
    double fpga_ = 52.5, lens_ = 41.25, cpu_ = 60.0;
    bool raw_encoder_ = false, raw_temp_ = false;
    std::string encoder_raw_, temp_raw_;
    bool silent_ = false, refuse_ = false, garbled_ = false;
    int status_ = 200;
    int delay_ms_ = 0;
    long long connections_accepted_ = 0, requests_ = 0, responses_ = 0;
    std::deque<std::string> log_;
    std::thread thread_;
};

SimModuleRegistration camera_http_registration(
    "camera-http", "  --camera-http-port=N  the camera module's HTTP status service on 127.0.0.1:N\n",
    [](const SimOptions &options, ControlServer &control) -> std::unique_ptr<SimModule> {
        if (!options.has("camera-http-port"))
            return nullptr;
        return std::make_unique<HttpStatusModule>(static_cast<int>(options.number("camera-http-port", 0)), control);
    });

}  // namespace
