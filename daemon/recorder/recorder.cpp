#include "recorder/recorder.h"

#include <dirent.h>
#include <fcntl.h>
#include <json-c/json.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>
#include <uuid/uuid.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/trace.h"
#include "platform.h"
#include "recorder/gps.h"
#include "recorder/recorder_io.h"
#include "recorder/recorder_texts.h"
#include "recorder/recording_files.h"

namespace {

using steady = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int64_t start_emmc_kb = 80000;
constexpr int64_t start_usb_kb = 100000;
constexpr int64_t stop_emmc_kb = 9999;   // at or below: stop
constexpr int64_t stop_usb_kb = 30000;   // below: stop
constexpr int default_watchdog_ms = 30000;
constexpr unsigned max_save_delay_ms = 5000;
constexpr size_t max_note = 511;
constexpr size_t max_list = 1 << 20;
constexpr size_t max_record = 1 << 20;
constexpr auto child_finish_time = 10s;
constexpr char copy_temporary[] = ".vx4-recording.tmp";

enum stop_reason { STOP_API = 1, STOP_WATCHDOG = 2, STOP_SPACE = 3, STOP_CHILD_ENDED = 4, STOP_DAEMON_END = 5 };

struct recorder_state {
    vx4_recorder_hooks hooks{};
    std::atomic<int> recording{0};
    std::atomic<int> paused{0};
    std::atomic<int> post_processing{0};
    std::atomic<int64_t> emmc_kb{0};
    std::atomic<int64_t> usb_kb{0};
    std::atomic<unsigned> save_delay_ms{1000};
    char model_name[16];
    char serial_number[16];
    int watchdog_ms = default_watchdog_ms;
    std::atomic<int64_t> watchdog_deadline_ms{0};  // steady clock; serviced by the API

    // The record lock: requests to the record thread, the child, the marks.
    std::mutex lock;
    std::condition_variable wake;      // the record thread: a request or a stop
    std::condition_variable answered;  // callers waiting for the thread
    bool thread_busy = true;           // not waiting for a request
    bool start_requested = false;
    bool recover_requested = false;
    int start_answer = 0;              // 1 running, -1 failed, 0 none yet
    bool finishing = false;
    pid_t child = -1;
    bool child_reaped = false;
    std::string id;                    // of the recording being made
    std::string emmc_path;
    struct timeval start_time {};
};

// Never destroyed: threads wait on its conditions until the process ends,
// and destroying a condition with a waiter blocks the exit.
recorder_state &state = *new recorder_state();

std::string work(const char *name) { return vx4_recorder_path(VX4_RECORDER_WORK, name); }
std::string store(const std::string &name) { return vx4_recorder_path(VX4_RECORDER_STORE, name); }
std::string guid_path() { return work("guid"); }
std::string save_times_path() { return work("save_times"); }
std::string image_notes_path() { return work("image_notes"); }

int64_t steady_ms()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(steady::now().time_since_epoch()).count();
}

void measure_stores()
{
    int64_t kb;
    if (vx4_recorder_free_kb(VX4_RECORDER_WORK, &kb) != 0)
        trace(TRACE_RECORDER, "path error %d '%s'", errno, strerror(errno));
    state.emmc_kb = kb;
    if (vx4_recorder_free_kb(VX4_RECORDER_STORE, &kb) != 0)
        trace(TRACE_RECORDER, "path error %d '%s'", errno, strerror(errno));
    state.usb_kb = kb;
}

void call_osd(int active)
{
    if (state.hooks.update_osd_recorder_activity)
        state.hooks.update_osd_recorder_activity(active);
}

void make_folder(const char *absolute)
{
    std::string path = vx4_path(absolute);
    for (size_t slash = path.find('/', 1); ; slash = path.find('/', slash + 1)) {
        mkdir(path.substr(0, slash).c_str(), 0755);
        if (slash == std::string::npos)
            break;
    }
}

// "YYYY-MM-DD-HH-MM-SS" of local time.
std::string start_time_text(time_t seconds)
{
    struct tm t;
    localtime_r(&seconds, &t);
    char text[80];
    snprintf(text, sizeof text, "%04d-%02d-%02d-%02d-%02d-%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
             t.tm_hour, t.tm_min, t.tm_sec);
    return text;
}

// The name part of a recording's files: a single name whatever the client
// set (a title may hold a '/').
std::string file_name_part(std::string name)
{
    for (char &c : name)
        if (c == '/' || static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '_';
    return name;
}

bool is_recording_id(std::string_view id)
{
    return id.size() == 36 && std::all_of(id.begin(), id.end(), [](char c) { return isxdigit(static_cast<unsigned char>(c)) || c == '-'; });
}

// The first line of a note file under /tmp, consumed when asked.
std::string tmp_note(const char *absolute, bool consume)
{
    std::string note;
    if (vx4_recorder_read_line(vx4_path(absolute), max_note, &note) && consume)
        unlink(vx4_path(absolute).c_str());
    return note;
}

// --- Recording records ---------------------------------------------------

struct recording_record {
    std::string id, name, asset_id, start_time, duration, note;
};

std::string string_of(json_object *object, const char *key)
{
    json_object *value;
    if (!object || !json_object_object_get_ex(object, key, &value) || !json_object_is_type(value, json_type_string))
        return "";
    return json_object_get_string(value);
}

bool read_record(const std::string &id, recording_record *record)
{
    std::string text;
    if (!is_recording_id(id) || vx4_read_small_file(store(id + ".json"), max_record, &text) != 0)
        return false;
    json_object *object = json_tokener_parse(text.c_str());
    bool valid = object && json_object_is_type(object, json_type_object);
    if (valid) {
        record->id = id;
        record->name = string_of(object, "name");
        record->asset_id = string_of(object, "asset_id");
        record->start_time = string_of(object, "start_time");
        record->duration = string_of(object, "duration");
        record->note = string_of(object, "note");
    }
    json_object_put(object);
    return valid;
}

// Takes files. Keys in the record's order; error only after a failed copy.
int write_record(const recording_record &record, json_object *files, const char *error = nullptr)
{
    json_object *object = json_object_new_object();
    json_object_object_add(object, "id", json_object_new_string(record.id.c_str()));
    json_object_object_add(object, "name", json_object_new_string(record.name.c_str()));
    json_object_object_add(object, "asset_id", json_object_new_string(record.asset_id.c_str()));
    json_object_object_add(object, "start_time", json_object_new_string(record.start_time.c_str()));
    json_object_object_add(object, "duration", json_object_new_string(record.duration.c_str()));
    json_object_object_add(object, "files", files ? files : json_object_new_array());
    json_object_object_add(object, "note", json_object_new_string(record.note.c_str()));
    if (error)
        json_object_object_add(object, "error", json_object_new_string(error));
    const char *text = json_object_to_json_string_ext(object, JSON_C_TO_STRING_NOSLASHESCAPE);
    int result = text ? vx4_replace_file(store(record.id + ".json"), text, VX4_REPLACE_SYNC) : -1;
    json_object_put(object);
    return result;
}

json_object *file_entry(const std::string &name)
{
    json_object *entry = json_object_new_object();
    json_object_object_add(entry, "path", json_object_new_string("/ApiVideos"));
    json_object_object_add(entry, "name", json_object_new_string(name.c_str()));
    return entry;
}

void fill_metadata(vx4_media_metadata *m, const std::string &title, const std::string &start_time,
                   const std::string &note)
{
    *m = vx4_media_metadata();
    snprintf(m->title, sizeof m->title, "%s", title.c_str());
    vx4_load_recorder_operator_id(m->operator_id, sizeof m->operator_id);
    vx4_load_recorder_flow_direction(m->flow_direction, sizeof m->flow_direction);
    snprintf(m->camera_model, sizeof m->camera_model, "%s", state.model_name);
    snprintf(m->serial_number, sizeof m->serial_number, "%s", state.serial_number);
    vx4_load_recorder_gps_location(m->gps_latitude, sizeof m->gps_latitude, m->gps_longitude,
                                   sizeof m->gps_longitude, m->gps_time, sizeof m->gps_time);
    vx4_set_metadata_start_time(m, start_time);
    snprintf(m->note, sizeof m->note, "%s", note.c_str());
}

// --- Post-processing -------------------------------------------------------

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    size_t begin = 0;
    for (size_t end; (end = text.find('\n', begin)) != std::string::npos; begin = end + 1)
        lines.push_back(text.substr(begin, end - begin));
    if (begin < text.size())
        lines.push_back(text.substr(begin));
    return lines;
}

// ffprobe measuring a recording's duration, started beside the copy that
// reads the same file.
struct duration_probe {
    FILE *out = nullptr;
    pid_t pid = -1;
};

duration_probe start_duration_probe(const std::string &path)
{
    duration_probe probe;
    probe.out = vx4_popen_read({"/bin/ffprobe", "-i", path, "-show_entries", "format=duration", "-v", "quiet", "-of",
                                "csv=p=0", "-sexagesimal"},
                               &probe.pid);
    return probe;
}

// ffprobe's "H:MM:SS.micro" cut at the '.'; "00:00:00" when it says nothing
// that looks like a duration.
std::string finish_duration_probe(duration_probe probe)
{
    std::string duration = "00:00:00";
    if (probe.out) {
        char line[64];
        if (fgets(line, sizeof line, probe.out)) {
            line[strcspn(line, ".\r\n")] = '\0';
            unsigned h, m, s;
            char tail;
            if (sscanf(line, "%u:%2u:%2u%c", &h, &m, &s, &tail) == 3)
                duration = line;
        }
        while (fgets(line, sizeof line, probe.out)) {
        }
        vx4_pclose(probe.out, probe.pid);
    }
    trace(TRACE_RECORDER, "duration '%s'", duration.c_str());
    return duration;
}

bool grab_frame(const std::vector<std::string> &position, const std::string &video, const std::string &image)
{
    std::vector<std::string> argv = {"/bin/ffmpeg", "-nostdin", "-v", "error", "-y"};
    argv.insert(argv.end(), position.begin(), position.end());
    // image2 would take a '%' in the name as a sequence pattern; -update 1
    // writes the one file named.
    argv.insert(argv.end(), {"-i", video, "-vframes", "1", "-q:v", "2", "-f", "image2", "-update", "1", image});
    return vx4_run(argv) == 0 && vx4_recorder_file_size(image) > 0;
}

void extract_still_images(json_object *files, const recording_record &record, const std::string &video)
{
    std::string times, notes;
    if (vx4_read_small_file(save_times_path(), max_list, &times) != 0 ||
        vx4_read_small_file(image_notes_path(), max_list, &notes) != 0)
        return;
    std::vector<std::string> offsets = lines_of(times);
    std::vector<std::string> note_lines = lines_of(notes);
    std::string previous;
    for (size_t i = 0; i < offsets.size(); ++i) {
        int h, m, s, ms;
        if (sscanf(offsets[i].c_str(), "%d:%d:%d.%d", &h, &m, &s, &ms) != 4 || h < 0 || m < 0 || s < 0 || ms < 0 ||
            h > 99 || m > 59 || s > 59 || ms > 999)
            continue;
        char offset[16];
        snprintf(offset, sizeof offset, "%02d:%02d:%02d.%03d", h, m, s, ms);
        trace(TRACE_RECORDER, "create image %s", offset);
        if (previous == offset) {
            trace(TRACE_RECORDER, "skip list add");
            continue;
        }
        previous = offset;
        char suffix[32];
        snprintf(suffix, sizeof suffix, "_%02d-%02d-%02d-%03d.jpg", h, m, s, ms);
        std::string name = record.name + "_" + record.start_time + suffix;
        std::string image = store(name);
        unlink(image.c_str());
        // A mark in the last moment (plus the save delay) may lie past the
        // end: it gets the recording's last second.
        if (!grab_frame({"-ss", offset}, video, image) && !grab_frame({"-sseof", "-1"}, video, image)) {
            trace(TRACE_RECORDER, "no image at %s", offset);
            unlink(image.c_str());
            continue;
        }
        json_object_array_add(files, file_entry(name));
        std::string note = i < note_lines.size() ? note_lines[i].substr(0, max_note) : "";
        vx4_media_metadata metadata;
        fill_metadata(&metadata, record.asset_id, record.start_time, note);
        vx4_write_xmp(image, metadata);
    }
}

// WebVTT wants two-digit hours and no markup in the cue's text.
void write_vtt(const recording_record &record, const std::string &duration)
{
    std::string end = duration;
    if (end.find(':') == 1)
        end = "0" + end;
    std::string text;
    for (char c : record.asset_id) {
        if (c == '&')
            text += "&amp;";
        else if (c == '<')
            text += "&lt;";
        else if (c == '>')
            text += "&gt;";
        else
            text += static_cast<unsigned char>(c) < 0x20 ? ' ' : c;
    }
    std::string vtt = "WEBVTT\n\n00:00:00.000 --> " + end + ".000\n" + text + "\n";
    if (vx4_replace_file(store(record.name + "_" + record.start_time + ".vtt"), vtt, VX4_REPLACE_SYNC) == 0)
        trace(TRACE_RECORDER, "vtt file");
}

// The recording into the store through a temporary name: 0 once the copy is
// whole, flushed and as long as the playable recording; 1 when there is no
// recording to copy; -1 on failure (the eMMC file must stay).
int copy_recording(const std::string &from, const std::string &to)
{
    int in = vx4_open_for_reading(from);
    if (in < 0)
        return errno == ENOENT ? 1 : -1;
    struct stat st;
    if (fstat(in, &st) != 0) {
        close(in);
        return -1;
    }
    int64_t length = vx4_mp4_playable_length(in, st.st_size);
    trace(TRACE_RECORDER, "cp size %ld", static_cast<long>(st.st_size));
    if (length < st.st_size)
        trace(TRACE_RECORDER, "cut short at %ld", static_cast<long>(length));
    std::string temporary = store(copy_temporary);
    unlink(temporary.c_str());
    int out = vx4_recorder_create(temporary);
    int64_t copied = -1;
    if (out >= 0) {
        int shown = state.post_processing;
        copied = vx4_recorder_copy(in, out, length, [&](int64_t done) {
            int progress = std::max<int>(1, static_cast<int>(done * 100 / length));
            if (progress != shown) {
                shown = progress;
                state.post_processing = progress;
                trace(TRACE_RECORDER, "post process %d", progress);
            }
        });
        if (fdatasync(out) != 0 || fstat(out, &st) != 0 || st.st_size != length)
            copied = -1;
        if (close(out) != 0)
            copied = -1;
    }
    int error = errno;
    close(in);
    bool whole = copied == length && rename(temporary.c_str(), to.c_str()) == 0;
    if (whole) {
        vx4_sync_folder(vx4_folder_of(to));
        whole = vx4_recorder_file_size(to) == length;
    }
    if (!whole) {
        trace(TRACE_RECORDER, "copy failed at %ld of %ld '%s'", static_cast<long>(copied), static_cast<long>(length),
              strerror(error));
        unlink(temporary.c_str());
        return -1;
    }
    return 0;
}

// The eMMC recording of a guid whose record is lost: the one MP4 in the
// work folder, named "<name>_<YYYY-MM-DD-HH-MM-SS>.mp4".
bool find_work_recording(recording_record *record)
{
    DIR *folder = opendir(vx4_path(VX4_RECORDER_WORK).c_str());
    if (!folder)
        return false;
    bool found = false;
    while (dirent *entry = readdir(folder)) {
        std::string name = entry->d_name;
        constexpr size_t stamp = 19, suffix = 4;
        if (name.size() < stamp + suffix + 1 || name.compare(name.size() - suffix, suffix, ".mp4") != 0 ||
            name[name.size() - suffix - stamp - 1] != '_')
            continue;
        record->name = name.substr(0, name.size() - suffix - stamp - 1);
        record->start_time = name.substr(name.size() - suffix - stamp, stamp);
        found = true;
    }
    closedir(folder);
    return found;
}

void post_process(bool recovery)
{
    state.post_processing = 1;
    trace(TRACE_RECORDER, "post process %d", 1);
    std::string id;
    vx4_recorder_read_line(guid_path(), 36, &id);
    if (!id.empty() && !is_recording_id(id)) {
        trace(TRACE_RECORDER, "bad guid '%s'", id.c_str());
        unlink(guid_path().c_str());
        id.clear();
    }
    if (!id.empty()) {
        trace(TRACE_RECORDER, "post process '%s'", id.c_str());
        recording_record record;
        if (!read_record(id, &record) || !vx4_is_single_name(record.name + "_" + record.start_time)) {
            trace(TRACE_RECORDER, "no record '%s'", id.c_str());
            record = recording_record();
            find_work_recording(&record);
        }
        record.id = id;
        std::string mp4 = record.name + "_" + record.start_time + ".mp4";
        std::string emmc = vx4_recorder_path(VX4_RECORDER_WORK, mp4);
        std::string usb = store(mp4);
        bool have_recording = vx4_recorder_file_size(emmc) >= 0;
        if (!have_recording && vx4_recorder_file_size(usb) >= 0) {
            // Copied and recorded before a crash: only the clean-up is left.
            trace(TRACE_RECORDER, "already in the store");
        } else {
            json_object *files = json_object_new_array();
            json_object_array_add(files, file_entry(mp4));
            if (!recovery && have_recording)
                extract_still_images(files, record, emmc);
            duration_probe probe = have_recording ? start_duration_probe(emmc) : duration_probe();
            int copy = copy_recording(emmc, usb);
            record.duration = finish_duration_probe(probe);
            // A recording cut short by a power cut promises more than its
            // file holds: the copy, cut to what plays, tells.
            if (copy == 0 && vx4_recorder_file_size(usb) < vx4_recorder_file_size(emmc))
                record.duration = finish_duration_probe(start_duration_probe(usb));
            write_vtt(record, record.duration);
            write_record(record, files, copy < 0 ? "copy to the store failed; the recording is kept on the eMMC" : nullptr);
            if (copy < 0) {
                state.post_processing = 0;
                trace(TRACE_RECORDER, "post process %d", 0);
                return;  // the guid stays: the next start tries again
            }
            if (copy == 0) {
                vx4_media_metadata metadata;
                std::string title = record.asset_id;
                if (title.empty()) {
                    char current[81];
                    vx4_load_recorder_title(current, sizeof current);
                    title = current;
                }
                fill_metadata(&metadata, title, record.start_time, record.note.substr(0, 512));
                vx4_write_xmp(usb, metadata);
            }
        }
        if (unlink(emmc.c_str()) == 0)
            trace(TRACE_RECORDER, "removed recorded file");
    }
    if (unlink(guid_path().c_str()) == 0)
        trace(TRACE_RECORDER, "removed guid file");
    state.post_processing = 0;
    trace(TRACE_RECORDER, "post process %d", 0);
}

// --- The recording child ---------------------------------------------------

pid_t start_child(const std::string &path)
{
    const vx4_platform_config &config = vx4_platform();
    std::string address = config.camera_host;
    if (config.camera_rtsp_port != 554)
        address += ":" + std::to_string(config.camera_rtsp_port);
    // Fragmented MP4 with fragment-relative offsets, a fragment a second at
    // most, written out at once: whatever ends the child, the file plays up
    // to its last fragment.
    vx4_spawn_options options;
    options.parent_death_signal = SIGTERM;  // ffmpeg finishes its file and ends
    return vx4_spawn({"/bin/ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-i", "rtsp://" + address + "/x4-1.mp4",
                      "-vcodec", "copy", "-movflags", "+frag_keyframe+empty_moov+default_base_moof+skip_trailer",
                      "-frag_duration", "1000000", "-flush_packets", "1", path},
                     options);
}

// Under the record lock, once "stop %d" is traced with the reason.
void end_recording()
{
    if (!state.child_reaped) {
        if (state.paused)
            kill(state.child, SIGCONT);
        kill(state.child, SIGTERM);
    }
    state.recording = 0;
    state.paused = 0;
    state.post_processing = 1;  // no start slips in before post-processing
    state.wake.notify_all();
}

// The child finishes its file; one that does not is killed.
void reap_child()
{
    auto deadline = steady::now() + child_finish_time;
    while (!state.child_reaped) {
        int status;
        pid_t done = waitpid(state.child, &status, WNOHANG);
        if (done == state.child || (done < 0 && errno != EINTR)) {
            state.child_reaped = true;
        } else if (steady::now() >= deadline) {
            trace(TRACE_RECORDER, "kill %d", state.child);
            kill(state.child, SIGKILL);
            waitpid(state.child, &status, 0);
            state.child_reaped = true;
        } else {
            std::this_thread::sleep_for(20ms);
        }
    }
}

// The monitor loop: returns once the recording has ended, for any reason.
void monitor()
{
    auto next_check = steady::now() + 1s;
    std::unique_lock<std::mutex> hold(state.lock);
    while (state.recording) {
        state.wake.wait_for(hold, 100ms);
        if (!state.recording)
            break;
        int status;
        if (waitpid(state.child, &status, WNOHANG) == state.child) {
            state.child_reaped = true;
            trace(TRACE_RECORDER, "recording process ended %d", WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
            trace(TRACE_RECORDER, "stop %d", STOP_CHILD_ENDED);
            end_recording();
        } else if (steady_ms() >= state.watchdog_deadline_ms) {
            trace(TRACE_RECORDER, "stop %d", STOP_WATCHDOG);
            end_recording();
        } else if (steady::now() >= next_check) {
            next_check += 1s;
            std::string path = state.emmc_path;
            hold.unlock();
            struct stat st;
            int64_t size = 0;
            if (stat(path.c_str(), &st) == 0)
                size = st.st_size;
            else
                trace(TRACE_RECORDER, "size error '%s' '%s'", path.c_str(), strerror(errno));
            measure_stores();
            state.usb_kb = state.usb_kb - (size >> 10);
            trace(TRACE_RECORDER, "active %ld %ld %ld", static_cast<long>(size), static_cast<long>(state.emmc_kb),
                  static_cast<long>(state.usb_kb));
            hold.lock();
            if (state.recording && (state.emmc_kb <= stop_emmc_kb || state.usb_kb < stop_usb_kb)) {
                trace(TRACE_RECORDER, "stop %d", STOP_SPACE);
                end_recording();
            }
        }
    }
}

// Recording children of an earlier run of the daemon that still hold the
// work folder (one paused when the daemon died never got its end signal).
void end_orphan_children()
{
    std::string work_folder = vx4_path(VX4_RECORDER_WORK) + "/";
    auto owns_work = [&](pid_t pid) {
        std::string command;
        if (vx4_read_small_file("/proc/" + std::to_string(pid) + "/cmdline", 1 << 16, &command) != 0)
            return false;
        std::string_view program(command.c_str());
        if (program.substr(program.rfind('/') + 1) != "ffmpeg")
            return false;
        return command.find(std::string(1, '\0') + work_folder) != std::string::npos;
    };
    std::vector<pid_t> orphans;
    if (DIR *proc = opendir("/proc")) {
        while (dirent *entry = readdir(proc)) {
            pid_t pid = static_cast<pid_t>(atoi(entry->d_name));
            if (pid > 1 && pid != getpid() && owns_work(pid))
                orphans.push_back(pid);
        }
        closedir(proc);
    }
    for (pid_t pid : orphans) {
        trace(TRACE_RECORDER, "orphan recording process %d", pid);
        kill(pid, SIGCONT);
        kill(pid, SIGTERM);
    }
    auto deadline = steady::now() + child_finish_time;
    for (pid_t pid : orphans) {
        while (owns_work(pid) && steady::now() < deadline)
            std::this_thread::sleep_for(20ms);
        if (owns_work(pid))
            kill(pid, SIGKILL);
    }
}

void remove_start_files(const std::string &id)
{
    unlink(guid_path().c_str());
    unlink(store(id + ".json").c_str());
}

void record_thread()
{
    end_orphan_children();
    post_process(true);
    measure_stores();
    std::unique_lock<std::mutex> hold(state.lock);
    for (;;) {
        state.thread_busy = false;
        state.answered.notify_all();
        state.wake.wait(hold, [] { return state.start_requested || state.recover_requested; });
        state.thread_busy = true;
        if (state.recover_requested) {
            state.recover_requested = false;
            hold.unlock();
            post_process(true);
            measure_stores();
            hold.lock();
            continue;
        }
        state.start_requested = false;
        trace(TRACE_RECORDER, "record starting");
        pid_t child = start_child(state.emmc_path);
        if (child < 0) {
            trace(TRACE_RECORDER, "error");
            trace(TRACE_RECORDER, "rerror %d '%s'", -1, strerror(errno));
            state.start_answer = -1;
            remove_start_files(state.id);
            continue;
        }
        state.child = child;
        state.child_reaped = false;
        state.watchdog_deadline_ms = steady_ms() + state.watchdog_ms;
        vx4_gettimeofday(&state.start_time);
        state.paused = 0;
        state.recording = 1;
        state.start_answer = 1;
        state.answered.notify_all();
        trace(TRACE_RECORDER, "started %d", child);
        hold.unlock();
        call_osd(1);

        monitor();
        reap_child();
        trace(TRACE_RECORDER, "record stopped");
        call_osd(0);
        hold.lock();
        bool finishing = state.finishing;
        state.child = -1;
        hold.unlock();
        if (finishing) {
            trace(TRACE_RECORDER, "left for the next start");
        } else {
            post_process(false);
            measure_stores();
        }
        trace(TRACE_RECORDER, "record end");
        hold.lock();
    }
}

// Cuts the last line off a list file (to empty when it holds one), tracing
// each newline found with newline_format. 0; -1 when the list cannot be
// read or holds no line; -2 when the cut fails (traced with failure_format).
int cut_last_line(const std::string &path, const char *newline_format, const char *cut_format,
                  const char *failure_format)
{
    std::string text;
    int fd = vx4_recorder_open_for_update(path);
    if (fd < 0)
        return -1;
    char piece[4096];
    ssize_t got;
    while (text.size() < max_list && (got = read(fd, piece, sizeof piece)) > 0)
        text.append(piece, static_cast<size_t>(got));
    long last = -1, before = -1;
    for (size_t i = text.find('\n'); i != std::string::npos; i = text.find('\n', i + 1)) {
        trace(TRACE_RECORDER, newline_format, last, static_cast<long>(i));
        before = last;
        last = static_cast<long>(i);
    }
    if (last < 0) {
        close(fd);
        return -1;
    }
    long cut = before < 0 ? 0 : before + 1;
    trace(TRACE_RECORDER, cut_format, cut);
    int result = ftruncate(fd, cut);
    if (result != 0)
        trace(TRACE_RECORDER, failure_format, errno, strerror(errno));
    close(fd);
    return result == 0 ? 0 : -2;
}

// Appends text to a list; the list's new length, or -1.
int64_t append_line(const std::string &path, const std::string &text)
{
    int fd = vx4_open_for_writing(path, true);
    if (fd < 0)
        return -1;
    std::string line = text + "\n";
    struct stat st;
    bool written = write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size()) && fstat(fd, &st) == 0;
    close(fd);
    return written ? st.st_size : -1;
}

void read_identity()
{
    std::string text;
    if (vx4_read_small_file(vx4_path("/config/system.json"), 1 << 16, &text) != 0)
        return;
    json_object *config = json_tokener_parse(text.c_str());
    snprintf(state.model_name, sizeof state.model_name, "%.15s", string_of(config, "model_name").c_str());
    snprintf(state.serial_number, sizeof state.serial_number, "%.15s", string_of(config, "serial_number").c_str());
    json_object_put(config);
}

void remove_stale_copies()
{
    std::string folder = vx4_path(VX4_RECORDER_STORE);
    if (DIR *store_folder = opendir(folder.c_str())) {
        while (dirent *entry = readdir(store_folder)) {
            std::string name = entry->d_name;
            if (name.rfind(".vx4-", 0) == 0 && name.size() > 4 && name.compare(name.size() - 4, 4, ".tmp") == 0)
                unlink((folder + "/" + name).c_str());
        }
        closedir(store_folder);
    }
}

}  // namespace

int vx4_create_recorder(const vx4_recorder_hooks *hooks)
{
    if (hooks)
        state.hooks = *hooks;
    for (const char *folder : {VX4_RECORDER_WORK, VX4_RECORDER_STORE, VX4_RECORDER_VIDEOS})
        make_folder(folder);
    remove_stale_copies();
    measure_stores();
    vx4_init_recorder_texts();
    read_identity();
    if (vx4_platform_sandboxed()) {
        std::string text;
        if (vx4_recorder_read_line(vx4_path("/sandbox/recorder_watchdog_ms"), 16, &text) && atoi(text.c_str()) > 0)
            state.watchdog_ms = atoi(text.c_str());
    }
    // A recording left unfinished is finished before the first start.
    if (vx4_recorder_file_size(guid_path()) >= 0)
        state.post_processing = 1;
    try {
        std::thread(record_thread).detach();
    } catch (const std::system_error &) {
        return -1;
    }
    return vx4_start_recording_files(state.hooks.is_external_usb_mounted);
}

void vx4_finish_recorder()
{
    std::unique_lock<std::mutex> hold(state.lock);
    state.finishing = true;
    if (state.recording) {
        trace(TRACE_RECORDER, "stop %d", STOP_DAEMON_END);
        end_recording();
    }
    state.answered.wait_for(hold, child_finish_time + 2s, [] { return state.child < 0; });
}

int vx4_start_recorder()
{
    std::unique_lock<std::mutex> hold(state.lock);
    // The record thread may be between the end of a post-processing and its
    // wait for the next request.
    state.answered.wait_for(hold, 2s, [] { return !state.thread_busy || state.recording || state.post_processing; });
    if (state.recording || state.post_processing || state.thread_busy || state.finishing)
        return -1;
    if (vx4_recorder_file_size(guid_path()) >= 0) {
        // The last recording could not be copied: it is finished first.
        trace(TRACE_RECORDER, "unfinished recording first");
        state.post_processing = 1;
        state.recover_requested = true;
        state.wake.notify_all();
        return -1;
    }
    measure_stores();
    trace(TRACE_RECORDER, "start %ld %ld", static_cast<long>(state.emmc_kb), static_cast<long>(state.usb_kb));
    if (state.emmc_kb < start_emmc_kb || state.usb_kb < start_usb_kb)
        return -1;

    char text[81];
    vx4_load_recorder_filename(text, sizeof text);
    std::string name = text;
    if (name.empty()) {
        vx4_load_recorder_operator_id(text, sizeof text);
        name = text;
    }
    name = file_name_part(name.empty() ? "VX4" : name);
    vx4_load_recorder_title(text, sizeof text);
    recording_record record;
    record.name = name;
    record.asset_id = text;
    for (int k = 0;; ++k) {
        record.start_time = start_time_text(vx4_time() + k);
        struct stat st;
        if (lstat(store(name + "_" + record.start_time + ".mp4").c_str(), &st) != 0)
            break;
        trace(TRACE_RECORDER, "start dup adjust %d", k);
    }
    uuid_t uuid;
    uuid_generate_time_safe(uuid);
    char id[37];
    uuid_unparse_lower(uuid, id);
    record.id = id;
    record.note = tmp_note("/tmp/video_note", false);
    if (write_record(record, nullptr) != 0)
        return -1;
    if (vx4_replace_file(guid_path(), record.id, VX4_REPLACE_SYNC) != 0 ||
        vx4_replace_file(save_times_path(), "", VX4_REPLACE_SYNC) != 0 ||
        vx4_replace_file(image_notes_path(), "", VX4_REPLACE_SYNC) != 0) {
        trace(TRACE_RECORDER, "no guid file '%s'", strerror(errno));
        remove_start_files(record.id);
        return -1;
    }
    trace(TRACE_RECORDER, "store guid file");
    tmp_note("/tmp/video_note", true);

    state.id = record.id;
    state.emmc_path = vx4_recorder_path(VX4_RECORDER_WORK, name + "_" + record.start_time + ".mp4");
    state.start_answer = 0;
    state.start_requested = true;
    state.wake.notify_all();
    state.answered.wait(hold, [] { return state.start_answer != 0; });
    return state.start_answer > 0 ? 0 : -1;
}

int vx4_stop_recorder()
{
    std::lock_guard<std::mutex> hold(state.lock);
    if (!state.recording)
        return -1;
    trace(TRACE_RECORDER, "stop %d", STOP_API);
    end_recording();
    return 0;
}

// Stops or continues the recording process; -1 when it is not recording or
// already so.
static int set_paused(bool pause)
{
    std::lock_guard<std::mutex> hold(state.lock);
    if (!state.recording || (state.paused != 0) == pause)
        return -1;
    trace(TRACE_RECORDER, pause ? "pause" : "resume");
    kill(state.child, pause ? SIGSTOP : SIGCONT);
    state.paused = pause;
    return 0;
}

int vx4_pause_recorder() { return set_paused(true); }

int vx4_resume_recorder() { return set_paused(false); }

int vx4_save_recorder_image()
{
    std::lock_guard<std::mutex> hold(state.lock);
    if (!state.recording || state.paused)
        return -1;
    struct timeval now;
    vx4_gettimeofday(&now);
    int64_t us = (now.tv_sec - state.start_time.tv_sec) * 1000000LL + (now.tv_usec - state.start_time.tv_usec) +
                 state.save_delay_ms * 1000LL;
    us = std::max<int64_t>(us, 0);
    time_t seconds = static_cast<time_t>(us / 1000000);
    struct tm t;
    gmtime_r(&seconds, &t);
    char offset[32];
    snprintf(offset, sizeof offset, "%02d:%02d:%02d.%03d", t.tm_hour, t.tm_min, t.tm_sec, static_cast<int>(us % 1000000 / 1000));
    int64_t times_length = append_line(save_times_path(), offset);
    if (times_length < 0)
        return -1;
    trace(TRACE_RECORDER, "save offset %s %ld", offset, static_cast<long>(times_length));
    int64_t notes_length = append_line(image_notes_path(), tmp_note("/tmp/image_note", false));
    if (notes_length < 0) {
        // The two lists stay line for line: the mark goes again.
        cut_last_line(save_times_path(), "remove offset newline %ld %ld", "remove offset to %ld",
                      "remove offset failure %d '%s'");
        return -1;
    }
    tmp_note("/tmp/image_note", true);
    trace(TRACE_RECORDER, "save note %ld", static_cast<long>(notes_length));
    return 0;
}

int vx4_remove_recorder_image()
{
    std::lock_guard<std::mutex> hold(state.lock);
    if (!state.recording || state.paused)
        return -1;
    if (cut_last_line(save_times_path(), "remove offset newline %ld %ld", "remove offset to %ld",
                      "remove offset failure %d '%s'") != 0)
        return -1;
    return cut_last_line(image_notes_path(), "remove note newline %ld %ld", "remove note to %ld",
                         "remove note failure %d '%s'") == 0 ? 0 : -1;
}

void vx4_service_recorder_watchdog() { state.watchdog_deadline_ms = steady_ms() + state.watchdog_ms; }

int vx4_get_recorder_recording() { return state.recording; }
int vx4_get_recorder_paused() { return state.paused; }
int vx4_get_recorder_post_processing() { return state.post_processing; }
int64_t vx4_get_recorder_emmc_kb() { return state.emmc_kb; }
int64_t vx4_get_recorder_usb_kb() { return state.usb_kb; }
unsigned vx4_get_recorder_save_delay() { return state.save_delay_ms; }

int vx4_set_recorder_save_delay(unsigned milliseconds)
{
    if (milliseconds > max_save_delay_ms)
        return -1;
    state.save_delay_ms = milliseconds;
    return 0;
}

// --- Metadata and notes ----------------------------------------------------

void vx4_load_recorder_video_metadata(vx4_media_metadata *metadata)
{
    char title[81];
    vx4_load_recorder_title(title, sizeof title);
    std::string start_time = start_time_text(vx4_time());
    std::string note;
    {
        std::lock_guard<std::mutex> hold(state.lock);
        recording_record record;
        if (state.recording && read_record(state.id, &record)) {
            start_time = record.start_time;
            note = record.note.substr(0, 512);
        } else if (!state.recording) {
            note = tmp_note("/tmp/video_note", false);
        }
    }
    fill_metadata(metadata, title, start_time, note);
}

void vx4_load_recorder_image_metadata(vx4_media_metadata *metadata)
{
    char title[81];
    vx4_load_recorder_title(title, sizeof title);
    std::string start_time = start_time_text(vx4_time());
    std::string note;
    {
        std::lock_guard<std::mutex> hold(state.lock);
        recording_record record;
        if (state.recording && read_record(state.id, &record))
            start_time = record.start_time;
        std::string notes;
        if (state.recording && vx4_read_small_file(image_notes_path(), max_list, &notes) == 0 &&
            notes.find('\n') != std::string::npos)
            note = lines_of(notes).back().substr(0, max_note);
        else
            note = tmp_note("/tmp/image_note", false);
    }
    fill_metadata(metadata, title, start_time, note);
}

int vx4_load_recorder_file_metadata(const char *name, vx4_media_metadata *metadata)
{
    *metadata = vx4_media_metadata();
    trace(TRACE_RECORDER, "read file metadata");
    if (!name || !vx4_is_single_name(name))
        return -1;
    return vx4_read_xmp(store(name), metadata);
}

int vx4_set_recorder_file_note(const char *name, const char *text)
{
    vx4_media_metadata metadata;
    if (vx4_load_recorder_file_metadata(name, &metadata) != 0)
        return -1;
    snprintf(metadata.note, sizeof metadata.note, "%s", text ? text : "");
    trace(TRACE_RECORDER, "write file metadata '%s'", metadata.note);
    return vx4_write_xmp(store(name), metadata);
}

int vx4_set_recorder_video_note(const char *text)
{
    std::string note = text ? text : "";
    std::lock_guard<std::mutex> hold(state.lock);
    if (!state.recording)
        return vx4_replace_file(vx4_path("/tmp/video_note"), note, VX4_REPLACE_SYNC);
    recording_record record;
    if (!read_record(state.id, &record))
        return -1;
    record.duration.clear();
    record.note = note;
    return write_record(record, nullptr);
}

int vx4_set_recorder_image_note(const char *text)
{
    std::string note = text ? text : "";
    std::lock_guard<std::mutex> hold(state.lock);
    int cut = state.recording ? cut_last_line(image_notes_path(), "note newline %ld %ld", "remove note to %ld",
                                              "replace note failure %d '%s'")
                              : -1;
    if (cut == -2)
        return -1;
    if (cut != 0)
        return vx4_replace_file(vx4_path("/tmp/image_note"), note, VX4_REPLACE_SYNC);
    int64_t length = append_line(image_notes_path(), note);
    trace(TRACE_RECORDER, "save note %ld", static_cast<long>(length));
    return length < 0 ? -1 : 0;
}
