#include "supervisor/installer.h"

#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "camera/camera_update.h"
#include "camera/visca_connection.h"
#include "core/state_files.h"
#include "core/stick_files.h"
#include "core/trace.h"
#include "platform.h"
#include "power_board/power_board.h"

namespace {

enum install_type { INSTALL_NONE, INSTALL_SOFTWARE, INSTALL_FIRMWARE, INSTALL_CAMERA };
const char *const type_names[] = {"none", "software", "firmware", "camera"};

constexpr const char *package_folder = "/media/usb-cpy";
constexpr const char *package_pattern = "vx4_730-00512_update_*.zip";
constexpr const char *install_script = "/opt/orba/scripts/deploy_update.sh";
constexpr int install_steps = 11;
constexpr size_t text_size = 17;      // 16 characters
constexpr size_t line_limit = 4096;   // longer script lines are cut

// The type changes by compare-and-swap, so two triggers never both start
// and a completion that comes before its trigger returned is not undone.
std::atomic<int> type{INSTALL_NONE};
vx4_installer_events events;

// Hand-over to the installer thread (plain POSIX objects, never destroyed
// while the thread may wait on them).
pthread_mutex_t work_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t work_condition = PTHREAD_COND_INITIALIZER;
bool work_requested = false;
std::string package_path;

// The software update's progress.
std::mutex status_lock;
char step_text[text_size] = "0 of 0";
char text_a[text_size] = "not active";
char text_b[text_size] = "not active";

// The last package in byte order that is a regular file ("" when none).
std::string find_package() { return vx4_find_stick_file(package_folder, package_pattern); }

void set_status(const char *step, const char *a, const char *b)
{
    std::lock_guard<std::mutex> hold(status_lock);
    vx4_copy_text(step_text, sizeof step_text, step);
    vx4_copy_text(text_a, sizeof text_a, a);
    vx4_copy_text(text_b, sizeof text_b, b);
}

// Runs the install script on the package with an argument vector, so no
// name on the stick ever reaches a shell, and relays its lines.
void install(const std::string &package)
{
    set_status("", "", "");
    pid_t pid;
    FILE *output = vx4_popen_read({install_script, vx4_path(package)}, &pid);
    if (!output) {
        trace(TRACE_INSTALLER, "sw start fail %d", errno);
        return;
    }
    std::string line;
    unsigned number = 0;
    for (;;) {
        int c = fgetc(output);
        if (c != EOF && c != '\n') {
            if (line.size() < line_limit)
                line += static_cast<char>(c);
            continue;
        }
        if (c == EOF && line.empty())
            break;
        ++number;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        trace(TRACE_INSTALLER, "sw '%s'", line.c_str());
        vx4_write_state_file("/tmp/vx4_update", line.c_str());
        char phase[text_size], detail[text_size];
        if (vx4_installer_parse_step(line.c_str(), phase, sizeof phase, detail, sizeof detail)) {
            char step[text_size];
            snprintf(step, sizeof step, "%u of %d", std::min(number, 9999999u), install_steps);
            set_status(step, phase, detail);
        }
        line.clear();
        if (c == EOF)
            break;
    }
    int status = vx4_pclose(output, pid);
    trace(TRACE_INSTALLER, "sw end %d", status);
    if (events.trigger_shutdown)
        events.trigger_shutdown(2);
}

void *installer_thread(void *)
{
    for (;;) {
        pthread_mutex_lock(&work_lock);
        while (!work_requested)
            pthread_cond_wait(&work_condition, &work_lock);
        work_requested = false;
        std::string package = package_path;
        pthread_mutex_unlock(&work_lock);
        install(package);
    }
    return nullptr;
}

void firmware_done()
{
    int expected = INSTALL_FIRMWARE;
    type.compare_exchange_strong(expected, INSTALL_NONE);
}

void camera_done()
{
    int expected = INSTALL_CAMERA;
    type.compare_exchange_strong(expected, INSTALL_NONE);
}

// Claims the type for one kind of update; false while another runs.
bool claim(int kind)
{
    int expected = INSTALL_NONE;
    return type.compare_exchange_strong(expected, kind);
}

void release(int kind)
{
    int expected = kind;
    type.compare_exchange_strong(expected, INSTALL_NONE);
}

}  // namespace

int vx4_start_installer(const vx4_installer_events *given)
{
    events = given ? *given : vx4_installer_events{};
    type = INSTALL_NONE;
    set_status("0 of 0", "not active", "not active");
    pthread_t thread;
    int result = pthread_create(&thread, nullptr, installer_thread, nullptr);
    if (result == 0)
        pthread_detach(thread);
    return result;
}

int vx4_get_installer_software_update_available(char *buffer, size_t size)
{
    std::string package = find_package();
    vx4_copy_text(buffer, size, package.c_str());
    return package.empty() ? 0 : 1;
}

int vx4_get_installer_firmware_update_available(char *buffer, size_t size)
{
    vx4_power_board *board = power_board_instance;
    if (!board) {
        vx4_copy_text(buffer, size, "");
        return 0;
    }
    return vx4_power_board_get_update_available(board, buffer, size);
}

int vx4_get_installer_camera_update_available(char *buffer, size_t size)
{
    return visca_get_update_available(buffer, size);
}

void vx4_load_installer_software_update_version(char *buffer, size_t size)
{
    vx4_installer_package_version(find_package().c_str(), buffer, size);
}

void vx4_load_installer_firmware_update_version(char *buffer, size_t size)
{
    vx4_power_board *board = power_board_instance;
    if (board)
        vx4_power_board_load_update_version(board, buffer, size);
    else
        vx4_copy_text(buffer, size, "");
}

void vx4_load_installer_camera_update_version(char *buffer, size_t size) { visca_load_update_version(buffer, size); }

int vx4_trigger_software_update()
{
    if (!claim(INSTALL_SOFTWARE))
        return 0;
    std::string package = find_package();
    if (package.empty()) {
        release(INSTALL_SOFTWARE);
        return 0;
    }
    trace(TRACE_INSTALLER, "sw package '%s'", package.c_str());
    pthread_mutex_lock(&work_lock);
    package_path = package;
    work_requested = true;
    pthread_cond_signal(&work_condition);
    pthread_mutex_unlock(&work_lock);
    // The type stays "software" until the unit restarts.
    return 1;
}

int vx4_trigger_firmware_update()
{
    vx4_power_board *board = power_board_instance;
    if (!board || !claim(INSTALL_FIRMWARE))
        return 0;
    int result = vx4_power_board_trigger_firmware_update(board, firmware_done);
    if (result == 0)
        release(INSTALL_FIRMWARE);
    return result;
}

int vx4_trigger_camera_update()
{
    if (!claim(INSTALL_CAMERA))
        return 0;
    int result = visca_start_update(&visca_thread_data, camera_done);
    if (result == 0)
        release(INSTALL_CAMERA);
    return result;
}

void vx4_load_installer_status(char *type_buffer, size_t type_size, char *step, size_t step_size, char *a,
                               size_t a_size, char *b, size_t b_size)
{
    int kind = type;
    vx4_copy_text(type_buffer, type_size, type_names[kind]);
    switch (kind) {
    case INSTALL_SOFTWARE: {
        std::lock_guard<std::mutex> hold(status_lock);
        vx4_copy_text(step, step_size, step_text);
        vx4_copy_text(a, a_size, text_a);
        vx4_copy_text(b, b_size, text_b);
        break;
    }
    case INSTALL_FIRMWARE:
        vx4_power_board_load_update_status(power_board_instance, step, step_size, a, a_size, b, b_size);
        break;
    case INSTALL_CAMERA:
        visca_load_update_status(&visca_thread_data, step, step_size, a, a_size, b, b_size);
        break;
    default:
        vx4_copy_text(step, step_size, "0 of 0");
        vx4_copy_text(a, a_size, "not active");
        vx4_copy_text(b, b_size, "not active");
    }
}

void vx4_installer_package_version(const char *path, char *buffer, size_t size)
{
    vx4_copy_text(buffer, size, vx4_stick_file_version(path));
}

bool vx4_installer_parse_step(const char *line, char *phase, size_t phase_size, char *detail, size_t detail_size)
{
    auto word_end = [](std::string_view text, size_t from) {
        size_t end = text.find_first_of(" :", from);
        return end == std::string_view::npos ? text.size() : end;
    };
    std::string_view text(line);
    size_t start = text.find_first_not_of(' ');
    if (start == std::string_view::npos)
        return false;
    size_t end = word_end(text, start);
    size_t space = text.find(' ', end);
    if (space == std::string_view::npos)
        return false;
    size_t detail_start = text.find_first_not_of(' ', space);
    if (detail_start == std::string_view::npos)
        return false;
    size_t detail_end = word_end(text, detail_start);
    if (detail_end == detail_start)
        return false;
    vx4_copy_text(phase, phase_size, std::string(text.substr(start, end - start)).c_str());
    vx4_copy_text(detail, detail_size, std::string(text.substr(detail_start, detail_end - detail_start)).c_str());
    return true;
}
