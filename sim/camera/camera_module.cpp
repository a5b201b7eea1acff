// The simulated camera module's VISCA service: a TCP server on loopback that
// frames packets, hands them to the camera model, sends its replies and
// notices when due, and injects the faults the control API asks for.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <ctime>

#include "camera_loader.h"
#include "camera_state.h"
#include "control_server.h"
#include "net.h"
#include "sim_module.h"
#include "visca_camera.h"

namespace {

constexpr size_t command_log_size = 1000;
constexpr size_t packet_limit = 16;
constexpr int motion_tick_ms = 20;
// A reply split on request: the rest follows its first byte this much later.
constexpr double split_gap = 0.005;

std::string hex(const std::vector<uint8_t> &bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (uint8_t byte : bytes) {
        if (!text.empty())
            text += ' ';
        text += digits[byte >> 4];
        text += digits[byte & 0x0F];
    }
    return text;
}

class CameraModule : public SimModule {
public:
    CameraModule(int port, double lens_initialisation, const std::string &loader_image, ControlServer &control)
        : port_(port), start_(std::chrono::steady_clock::now()), loader_(loader_image)
    {
        camera_.set_lens_initialisation(lens_initialisation);
        if (lens_initialisation > 0)
            camera_.power_up(now());
        if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0)
            throw std::runtime_error("camera: pipe failed");
        if (!open_listener())
            throw std::runtime_error("camera: cannot listen on 127.0.0.1:" + std::to_string(port) + ": " +
                                     strerror(errno));
        add_routes(control);
        thread_ = std::thread(&CameraModule::serve, this);
    }

    ~CameraModule() override
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
    struct Pending {
        SimViscaOutput output;
        bool first;  // the first reply to a packet
    };
    struct Client {
        int fd;
        int id;
        std::vector<uint8_t> input;  // up to one byte past the longest packet
        int unanswered = 0;
        std::vector<Pending> pending;
        // The rest of a split reply, and when it goes; later replies wait.
        std::vector<uint8_t> held;
        double held_until = 0;
    };

    double now() const
    {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    }

    void wake()
    {
        char byte = 1;
        ssize_t ignored = write(wake_[1], &byte, 1);
        (void)ignored;
    }

    bool open_listener()
    {
        int fd = listen_loopback(port_, 8, SOCK_NONBLOCK);
        if (fd < 0)
            return false;
        listen_fd_ = fd;
        return true;
    }

    void close_client(size_t index)
    {
        loader_.disconnected(clients_[index].id);
        close(clients_[index].fd);
        clients_.erase(clients_.begin() + static_cast<long>(index));
    }

    // Everything below runs with lock_ held.

    void apply_control_faults()
    {
        if (drop_) {
            drop_ = false;
            while (!clients_.empty())
                close_client(clients_.size() - 1);
        }
        if (refuse_ && listen_fd_ >= 0) {
            close(listen_fd_);
            listen_fd_ = -1;
        } else if (!refuse_ && listen_fd_ < 0) {
            open_listener();
        }
    }

    void schedule(Client &client, std::vector<SimViscaOutput> &outputs, bool replies)
    {
        bool first = replies;
        for (SimViscaOutput &output : outputs) {
            bool reply = output.kind != SimReplyKind::notice;
            if (reply)
                output.due += late_;
            client.pending.push_back({std::move(output), first && reply});
            if (first && reply) {
                ++client.unanswered;
                first = false;
            }
        }
        outputs.clear();
    }

    void handle_packet(Client &client, std::vector<uint8_t> packet)
    {
        double at = now();
        ++commands_;
        timespec received;
        clock_gettime(CLOCK_MONOTONIC, &received);
        log_.push_back({hex(packet), static_cast<double>(received.tv_sec) + received.tv_nsec * 1e-9});
        if (log_.size() > command_log_size)
            log_.pop_front();
        if (silent_)
            return;
        if (client.unanswered > 0)
            ++overlapped_;
        std::vector<SimViscaOutput> outputs;
        camera_.advance(at, outputs);
        broadcast(outputs);
        if (camera_.handle(packet, at, outputs, client.id)) {
            // An interface clear ends every command in the camera's sockets.
            for (Client &each : clients_)
                std::erase_if(each.pending, [](const Pending &p) { return p.output.kind == SimReplyKind::completion; });
        }
        schedule(client, outputs, true);
        if (camera_.take_loader_request())
            loader_.enter(client.id, at);
    }

    // Notices go to every connection, a late completion to its command's.
    void broadcast(std::vector<SimViscaOutput> &outputs)
    {
        if (silent_) {
            outputs.clear();
            return;
        }
        for (Client &client : clients_) {
            std::vector<SimViscaOutput> mine;
            for (const SimViscaOutput &output : outputs)
                if (output.owner < 0 || output.owner == client.id)
                    mine.push_back(output);
            schedule(client, mine, false);
        }
        outputs.clear();
    }

    // Returns false when the client is gone.
    bool read_client(Client &client)
    {
        uint8_t data[4096];
        ssize_t got = recv(client.fd, data, sizeof data, MSG_DONTWAIT);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR))
            return false;
        // The loader speaks text and X-Modem, not VISCA.
        if (got > 0 && loader_.active()) {
            client.input.clear();
            loader_.receive(client.id, data, static_cast<size_t>(got), now());
            return true;
        }
        for (ssize_t i = 0; i < got; ++i) {
            if (client.input.size() <= packet_limit)
                client.input.push_back(data[i]);
            if (data[i] != 0xFF)
                continue;
            std::vector<uint8_t> packet;
            packet.swap(client.input);
            handle_packet(client, std::move(packet));
        }
        return true;
    }

    std::vector<uint8_t> faulted(const Pending &pending)
    {
        if (pending.output.kind == SimReplyKind::notice)
            return pending.output.bytes;
        if (garbled_ > 0) {
            --garbled_;
            // No camera answers from this address; the type nibble is unused.
            return {0x5A, 0x90, 0xE1, 0x07, 0xFF};
        }
        std::vector<uint8_t> bytes = pending.output.bytes;
        if (overlong_ > 0) {
            --overlong_;
            bytes.insert(bytes.end() - 1, 20 - bytes.size(), 0x00);
        }
        return bytes;
    }

    // Sends what is due; returns false when the client is gone.
    bool send_due(Client &client, double at)
    {
        if (!client.held.empty()) {
            if (at < client.held_until)
                return true;
            std::vector<uint8_t> rest;
            rest.swap(client.held);
            if (send(client.fd, rest.data(), rest.size(), MSG_NOSIGNAL | MSG_DONTWAIT) !=
                static_cast<ssize_t>(rest.size()))
                return false;
        }
        std::stable_sort(client.pending.begin(), client.pending.end(),
                         [](const Pending &a, const Pending &b) { return a.output.due < b.output.due; });
        size_t sent = 0;
        std::vector<uint8_t> bytes;
        for (; sent < client.pending.size() && client.pending[sent].output.due <= at; ++sent) {
            const Pending &pending = client.pending[sent];
            if (pending.first)
                --client.unanswered;
            if (silent_)
                continue;
            std::vector<uint8_t> reply = faulted(pending);
            bytes.insert(bytes.end(), reply.begin(), reply.end());
            ++replies_sent_;
            if (pending.output.kind == SimReplyKind::error)
                ++errors_sent_;
        }
        client.pending.erase(client.pending.begin(), client.pending.begin() + static_cast<long>(sent));
        if (bytes.empty())
            return true;
        if (split_ && bytes.size() > 1) {
            client.held.assign(bytes.begin() + 1, bytes.end());
            client.held_until = at + split_gap;
            bytes.resize(1);
        }
        return send(client.fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT) ==
               static_cast<ssize_t>(bytes.size());
    }

    int poll_timeout(double at) const
    {
        double next = -1;
        for (const Client &client : clients_) {
            // Nothing goes out before the rest of a split reply.
            if (!client.held.empty()) {
                if (next < 0 || client.held_until < next)
                    next = client.held_until;
                continue;
            }
            for (const Pending &pending : client.pending)
                if (next < 0 || pending.output.due < next)
                    next = pending.output.due;
        }
        double loader_next = loader_.next_due();
        if (loader_next >= 0 && (next < 0 || loader_next < next))
            next = loader_next;
        int timeout = next < 0 ? -1 : std::max(0, static_cast<int>((next - at) * 1000.0 + 0.999));
        if (camera_.moving() && (timeout < 0 || timeout > motion_tick_ms))
            timeout = motion_tick_ms;
        return timeout;
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
                apply_control_faults();
                watch.assign({{wake_[0], POLLIN, 0}, {listen_fd_, POLLIN, 0}});
                for (const Client &client : clients_)
                    watch.push_back({client.fd, POLLIN, 0});
                timeout = poll_timeout(now());
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
                    // Each send its own segment, so that a split reply arrives split.
                    int yes = 1;
                    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
                    clients_.push_back({fd, next_client_id_++, {}, 0, {}, {}, 0});
                    ++connections_accepted_;
                    if (loader_.active())
                        loader_.connected(clients_.back().id, now());
                }
            }
            for (size_t i = 2; i < watch.size(); ++i) {
                if (!watch[i].revents)
                    continue;
                auto found = std::find_if(clients_.begin(), clients_.end(),
                                          [&](const Client &c) { return c.fd == watch[i].fd; });
                if (found != clients_.end() && !read_client(*found))
                    close_client(static_cast<size_t>(found - clients_.begin()));
            }
            double at = now();
            std::vector<SimViscaOutput> notices;
            camera_.advance(at, notices);
            broadcast(notices);
            for (size_t i = clients_.size(); i-- > 0;)
                if (!send_due(clients_[i], at))
                    close_client(i);
            serve_loader(at);
        }
    }

    // Sends what the loader has to say; when it restarts the module, every
    // connection drops and the camera powers up with its new firmware.
    void serve_loader(double at)
    {
        std::vector<SimCameraLoader::Send> sends;
        bool restart = loader_.due(at, sends);
        for (const SimCameraLoader::Send &each : sends)
            for (size_t i = clients_.size(); i-- > 0;)
                if (clients_[i].id == each.client &&
                    !send_all(clients_[i].fd, std::string_view(reinterpret_cast<const char *>(each.bytes.data()),
                                                               each.bytes.size())))
                    close_client(i);
        if (restart) {
            while (!clients_.empty())
                close_client(clients_.size() - 1);
            camera_.power_up(at);
        }
    }

    json_object *describe()
    {
        SimCameraView view = sim_camera_state().snapshot();
        json_object *body = camera_.describe(now());
        auto add = [body](const char *key, json_object *value) { json_object_object_add(body, key, value); };
        add("power", json_object_new_boolean(view.power));
        add("zoom_position", json_object_new_int(view.zoom_position));
        add("digital_zoom", json_object_new_int(view.digital_zoom));
        add("focus_position", json_object_new_int(view.focus_position));
        json_object *titles = json_object_new_array();
        for (size_t line = 0; line < view.titles.size(); ++line) {
            const SimTitleLine &title = view.titles[line];
            json_object *entry = json_object_new_object();
            json_object_object_add(entry, "line", json_object_new_int(static_cast<int>(line)));
            json_object_object_add(entry, "text", json_object_new_string(title.text.c_str()));
            json_object_object_add(entry, "position", json_object_new_int(title.h_position));
            json_object_object_add(entry, "color", json_object_new_int(title.color));
            json_object_object_add(entry, "blink", json_object_new_boolean(title.blink));
            json_object_object_add(entry, "shown", json_object_new_boolean(title.shown));
            json_object_array_add(titles, entry);
        }
        add("titles", titles);
        add("connections", json_object_new_int(static_cast<int>(clients_.size())));
        add("connections_accepted", json_object_new_int64(connections_accepted_));
        add("commands_received", json_object_new_int64(commands_));
        add("replies_sent", json_object_new_int64(replies_sent_));
        add("errors_sent", json_object_new_int64(errors_sent_));
        add("overlapped", json_object_new_int64(overlapped_));
        add("delays", delays());
        add("faults", faults());
        return body;
    }

    json_object *delays() const
    {
        json_object *body = json_object_new_object();
        json_object_object_add(body, "ack_ms", json_object_new_int(static_cast<int>(camera_.ack_delay() * 1000)));
        json_object_object_add(body, "completion_ms",
                               json_object_new_int(static_cast<int>(camera_.completion_delay() * 1000)));
        return body;
    }

    json_object *faults() const
    {
        json_object *body = json_object_new_object();
        json_object_object_add(body, "silent", json_object_new_boolean(silent_));
        json_object_object_add(body, "refuse", json_object_new_boolean(refuse_));
        json_object_object_add(body, "late_ms", json_object_new_int(static_cast<int>(late_ * 1000)));
        json_object_object_add(body, "overlong", json_object_new_int(overlong_));
        json_object_object_add(body, "garbled", json_object_new_int(garbled_));
        json_object_object_add(body, "split", json_object_new_boolean(split_));
        return body;
    }

    void add_routes(ControlServer &control)
    {
        control.route("GET", "/camera", "camera state: power, zoom, focus, titles, settings, counters, faults",
                      [this](const ControlRequest &) {
                          std::lock_guard<std::mutex> hold(lock_);
                          return control_ok(describe());
                      });
        control.route("GET", "/camera/commands",
                      "VISCA packets received, oldest first (last 1000), with their CLOCK_MONOTONIC arrival times",
                      [this](const ControlRequest &) {
                          std::lock_guard<std::mutex> hold(lock_);
                          json_object *list = json_object_new_array();
                          json_object *times = json_object_new_array();
                          for (const LoggedPacket &packet : log_) {
                              json_object_array_add(list, json_object_new_string(packet.bytes.c_str()));
                              json_object_array_add(times, json_object_new_double(packet.received_at));
                          }
                          json_object *body = json_object_new_object();
                          json_object_object_add(body, "count", json_object_new_int64(commands_));
                          json_object_object_add(body, "commands", list);
                          json_object_object_add(body, "received_at", times);
                          return control_ok(body);
                      });
        control.route("POST", "/camera/commands/clear", "forget the packets received so far",
                      [this](const ControlRequest &) {
                          std::lock_guard<std::mutex> hold(lock_);
                          log_.clear();
                          commands_ = 0;
                          overlapped_ = 0;
                          errors_sent_ = 0;
                          return control_ok();
                      });
        control.route("POST", "/camera/delays", "{ack_ms, completion_ms}: reply delays", [this](const ControlRequest &r) {
            long long ack, completion;
            std::lock_guard<std::mutex> hold(lock_);
            double ack_seconds = json_get_int(r.body, "ack_ms", &ack) ? ack / 1000.0 : camera_.ack_delay();
            double completion_seconds = json_get_int(r.body, "completion_ms", &completion) ? completion / 1000.0
                                                                                            : camera_.completion_delay();
            camera_.set_delays(ack_seconds, completion_seconds);
            return control_ok(delays());
        });
        control.route("POST", "/camera/faults",
                      "{drop, silent, refuse, late_ms, overlong, garbled, split}: drop the connection now; stop "
                      "answering; refuse connections; delay every reply; make the next n replies over-long or "
                      "garbled; send replies in two segments",
                      [this](const ControlRequest &r) {
                          bool flag;
                          long long number;
                          {
                              std::lock_guard<std::mutex> hold(lock_);
                              if (json_get_bool(r.body, "drop", &flag))
                                  drop_ = flag;
                              if (json_get_bool(r.body, "silent", &flag))
                                  silent_ = flag;
                              if (json_get_bool(r.body, "refuse", &flag))
                                  refuse_ = flag;
                              if (json_get_int(r.body, "late_ms", &number))
                                  late_ = std::max(0LL, number) / 1000.0;
                              if (json_get_int(r.body, "overlong", &number))
                                  overlong_ = static_cast<int>(std::max(0LL, number));
                              if (json_get_int(r.body, "garbled", &number))
                                  garbled_ = static_cast<int>(std::max(0LL, number));
                              if (json_get_bool(r.body, "split", &flag))
                                  split_ = flag;
                          }
                          wake();
                          // Drop and refuse take effect before the reply.
                          for (int i = 0; i < 200; ++i) {
                              {
                                  std::lock_guard<std::mutex> hold(lock_);
                                  if (!drop_ && refuse_ == (listen_fd_ < 0))
                                      return control_ok(faults());
                              }
                              std::this_thread::sleep_for(std::chrono::milliseconds(5));
                          }
                          return control_error(409, "the fault could not be applied (listening port busy?)");
                      });
        control.route("GET", "/camera/loader",
                      "the update loader: phase, entries, blocks, naks, crc_errors, sequence_errors, cancels, "
                      "completed, image_bytes, image_file, faults",
                      [this](const ControlRequest &) {
                          std::lock_guard<std::mutex> hold(lock_);
                          return control_ok(loader_.describe());
                      });
        control.route("POST", "/camera/loader/faults",
                      "{silent, reconnect, nak_blocks}: the loader never says ready; it answers only on a new "
                      "connection; it refuses the next n good blocks with NAK",
                      [this](const ControlRequest &r) {
                          std::string error;
                          std::lock_guard<std::mutex> hold(lock_);
                          if (!loader_.set_faults(r.body, &error))
                              return control_error(400, error);
                          return control_ok(loader_.describe());
                      });
        control.route("POST", "/camera/power_cycle",
                      "{lens_init_ms}: the camera module's power goes and comes back: connections drop, settings "
                      "and titles are forgotten, the lens initialises",
                      [this](const ControlRequest &r) {
                          long long milliseconds;
                          {
                              std::lock_guard<std::mutex> hold(lock_);
                              if (json_get_int(r.body, "lens_init_ms", &milliseconds))
                                  camera_.set_lens_initialisation(static_cast<double>(milliseconds) / 1000.0);
                              drop_ = true;
                              camera_.power_up(now());
                          }
                          wake();
                          for (int i = 0; i < 200; ++i) {
                              {
                                  std::lock_guard<std::mutex> hold(lock_);
                                  if (!drop_)
                                      return control_ok();
                              }
                              std::this_thread::sleep_for(std::chrono::milliseconds(5));
                          }
                          return control_error(409, "the connections could not be dropped");
                      });
        control.route("POST", "/camera/version", "{model_code, rom_version}: the version answer",
                      [this](const ControlRequest &r) {
                          long long model, rom;
                          if (!json_get_int(r.body, "model_code", &model) || !json_get_int(r.body, "rom_version", &rom))
                              return control_error(400, "model_code and rom_version are required");
                          std::lock_guard<std::mutex> hold(lock_);
                          camera_.set_version(static_cast<int>(model), static_cast<int>(rom));
                          return control_ok();
                      });
        control.route("POST", "/camera/position", "{zoom, focus}: put the lens there at once",
                      [this](const ControlRequest &r) {
                          long long zoom = -1, focus = -1;
                          json_get_int(r.body, "zoom", &zoom);
                          json_get_int(r.body, "focus", &focus);
                          {
                              std::lock_guard<std::mutex> hold(lock_);
                              camera_.set_positions(static_cast<int>(zoom), static_cast<int>(focus));
                          }
                          wake();  // the server sends the notices
                          return control_ok();
                      });
    }

    int port_;
    std::chrono::steady_clock::time_point start_;
    int wake_[2] = {-1, -1};
    int listen_fd_ = -1;
    std::mutex lock_;
    SimViscaCamera camera_;
    SimCameraLoader loader_;
    std::vector<Client> clients_;
    bool stop_ = false;
    bool drop_ = false;
    bool silent_ = false;
    bool refuse_ = false;
    double late_ = 0;
    int overlong_ = 0;
    int garbled_ = 0;
    bool split_ = false;
    int next_client_id_ = 0;
    long long commands_ = 0;
    long long overlapped_ = 0;
    long long replies_sent_ = 0;
    long long errors_sent_ = 0;
    long long connections_accepted_ = 0;
    struct LoggedPacket {
        std::string bytes;
        double received_at;  // CLOCK_MONOTONIC seconds, comparable across processes
    };
    std::deque<LoggedPacket> log_;
    std::thread thread_;
};

SimModuleRegistration camera_visca_registration(
    "camera-visca",
    "  --visca-port=N     the camera module's VISCA service on 127.0.0.1:N\n"
    "  --lens-init-ms=N   the lens initialises this long at each power-up, the first included (0)\n"
    "  --loader-image=PATH  where the update loader keeps each image it received\n",
    [](const SimOptions &options, ControlServer &control) -> std::unique_ptr<SimModule> {
        if (!options.has("visca-port"))
            return nullptr;
        return std::make_unique<CameraModule>(static_cast<int>(options.number("visca-port", 0)),
                                              static_cast<double>(options.number("lens-init-ms", 0)) / 1000.0,
                                              options.text("loader-image"), control);
    });

}  // namespace
