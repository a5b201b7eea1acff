// Benchmark viewers of an MJPEG service: opens N connections on loopback,
// splits each multipart stream into its JPEG parts and reports the new
// pictures per second each viewer got (a part repeating the last picture
// counts for nothing), the CPU time a given process spent meanwhile and its
// resident memory at the end,
// and the latency from the frame time vx4-sim drew into each picture to its
// receipt (a sample of the pictures is decoded, at a quarter of the size).
//
//   mjpeg_viewers PORT PATH VIEWERS WARMUP_S SECONDS SERVER_PID
//
// Prints one line of key=value figures.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "frame_code.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Viewer {
    int fd = -1;
    std::string buffer;
    size_t last_hash = 0;
    size_t frames = 0;      // new pictures in the measured window
    size_t parts = 0;       // every part, repeats of the last picture too
    size_t all_frames = 0;
};

uint64_t wall_ms()
{
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count());
}

// utime + stime of the process and its threads, in seconds.
double cpu_seconds(int pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return -1;
    std::vector<std::string> fields;
    size_t at = close + 2;
    while (at < stat.size()) {
        size_t space = stat.find(' ', at);
        fields.push_back(stat.substr(at, space - at));
        if (space == std::string::npos)
            break;
        at = space + 1;
    }
    // fields[0] is the state (field 3): utime is field 14, stime field 15.
    return (std::stod(fields[11]) + std::stod(fields[12])) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Resident and peak resident memory of a process, in megabytes.
std::pair<double, double> resident_mb(int pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    double now = -1, peak = -1;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("VmRSS:", 0) == 0)
            now = std::stod(line.substr(6)) / 1024.0;
        else if (line.rfind("VmHWM:", 0) == 0)
            peak = std::stod(line.substr(6)) / 1024.0;
    }
    return {now, peak};
}

// Takes every complete part out of the buffer. Any multipart stream with a
// Content-Length header per part will do.
template <typename OnPicture>
void split(Viewer &viewer, OnPicture on_picture)
{
    size_t at = 0;
    for (;;) {
        size_t header = std::string::npos;
        for (size_t i = at; i + 15 <= viewer.buffer.size(); ++i)
            if ((viewer.buffer[i] == 'C' || viewer.buffer[i] == 'c') &&
                strncasecmp(viewer.buffer.data() + i, "Content-Length:", 15) == 0) {
                header = i;
                break;
            }
        if (header == std::string::npos)
            break;
        size_t end = viewer.buffer.find("\r\n\r\n", header);
        if (end == std::string::npos)
            break;
        size_t length = strtoul(viewer.buffer.c_str() + header + 15, nullptr, 10);
        if (viewer.buffer.size() < end + 4 + length)
            break;
        on_picture(viewer.buffer.data() + end + 4, length);
        at = end + 4 + length;
    }
    viewer.buffer.erase(0, at);
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 7) {
        fprintf(stderr, "usage: %s PORT PATH VIEWERS WARMUP_S SECONDS SERVER_PID\n", argv[0]);
        return 2;
    }
    int port = atoi(argv[1]);
    std::string path = argv[2];
    int count = atoi(argv[3]);
    double warmup = atof(argv[4]), seconds = atof(argv[5]);
    int server_pid = atoi(argv[6]);

    int epoll = epoll_create1(0);
    std::vector<Viewer> viewers(static_cast<size_t>(count));
    std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    for (size_t i = 0; i < viewers.size(); ++i) {
        Viewer &viewer = viewers[i];
        viewer.fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(viewer.fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
            send(viewer.fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
            perror("viewer");
            return 1;
        }
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = i;
        epoll_ctl(epoll, EPOLL_CTL_ADD, viewer.fd, &event);
    }

    auto start = Clock::now();
    auto measure_from = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(warmup));
    auto measure_to = measure_from + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    bool measuring = false;
    double cpu_start = 0;
    std::vector<double> latencies;
    size_t unreadable = 0, closed = 0;
    std::vector<char> chunk(1 << 20);
    epoll_event events[64];
    for (;;) {
        auto now = Clock::now();
        if (!measuring && now >= measure_from) {
            measuring = true;
            cpu_start = cpu_seconds(server_pid);
        }
        if (now >= measure_to)
            break;
        int ready = epoll_wait(epoll, events, 64, 10);
        for (int e = 0; e < ready; ++e) {
            size_t index = events[e].data.u64;
            Viewer &viewer = viewers[index];
            ssize_t got = recv(viewer.fd, chunk.data(), chunk.size(), MSG_DONTWAIT);
            if (got <= 0) {
                epoll_ctl(epoll, EPOLL_CTL_DEL, viewer.fd, nullptr);
                ++closed;
                continue;
            }
            viewer.buffer.append(chunk.data(), static_cast<size_t>(got));
            split(viewer, [&](const char *jpeg, size_t length) {
                uint64_t received = wall_ms();
                // A server that sends the same picture again delivers nothing new.
                size_t hash = std::hash<std::string_view>()(std::string_view(jpeg, length));
                bool repeat = hash == viewer.last_hash;
                viewer.last_hash = hash;
                if (measuring)
                    ++viewer.parts;
                if (repeat)
                    return;
                ++viewer.all_frames;
                if (!measuring)
                    return;
                ++viewer.frames;
                // A staggered sample: every viewer decodes one picture in four.
                if ((viewer.all_frames + index) % 4 != 0)
                    return;
                cv::Mat picture = cv::imdecode(cv::Mat(1, static_cast<int>(length), CV_8U, const_cast<char *>(jpeg)),
                                               cv::IMREAD_REDUCED_GRAYSCALE_4);
                std::optional<uint64_t> drawn = picture.empty() ? std::nullopt : frame_code::read(picture);
                if (drawn)
                    latencies.push_back(static_cast<double>(frame_code::age(*drawn, received)));
                else
                    ++unreadable;
            });
        }
    }
    double cpu = cpu_seconds(server_pid) - cpu_start;
    auto [rss, rss_peak] = resident_mb(server_pid);

    size_t total = 0, least = SIZE_MAX, parts = 0;
    for (const Viewer &viewer : viewers) {
        total += viewer.frames;
        parts += viewer.parts;
        least = std::min(least, viewer.frames);
    }
    std::sort(latencies.begin(), latencies.end());
    auto percentile = [&](double p) {
        return latencies.empty() ? -1.0 : latencies[static_cast<size_t>(p * static_cast<double>(latencies.size() - 1))];
    };
    printf("viewers=%d fps_mean=%.2f fps_min=%.2f frames=%zu parts=%zu cpu_s=%.3f cpu_ms_per_frame=%.3f "
           "latency_p50_ms=%.0f latency_p90_ms=%.0f latency_max_ms=%.0f samples=%zu unreadable=%zu closed=%zu "
           "rss_mb=%.1f rss_peak_mb=%.1f\n",
           count, static_cast<double>(total) / count / seconds, static_cast<double>(least) / seconds, total, parts, cpu,
           total ? cpu * 1000.0 / static_cast<double>(total) : -1.0, percentile(0.5), percentile(0.9), percentile(1.0),
           latencies.size(), unreadable, closed, rss, rss_peak);
    return 0;
}
