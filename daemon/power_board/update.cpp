// The power board firmware update. An Intel HEX image from the external
// stick is read and checked whole first; only a sound image puts the
// board's microcontroller into its ROM bootloader (reset and boot-select
// lines), where the programming tool on the stick writes it. The tool's
// output words drive a progress display; then the board is restarted
// normally. The service thread hands each update over and skips refreshes
// and drops writes until it has ended.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#include "core/stick_files.h"
#include "core/trace.h"
#include "platform.h"
#include "power_board/intel_hex.h"
#include "power_board/power_board_internal.h"

namespace {

constexpr const char *image_folder = "/media/usb-cpy";
constexpr const char *image_pattern = "firmware_update_*.hex";
constexpr const char *tool_program = "/media/usb-cpy/bin/STM32_Programmer.sh";
constexpr size_t path_limit = 4096;
// The text of a full flash is under 1.5 MB; a file far beyond it is no image.
constexpr long long image_file_limit = 8ll << 20;
constexpr int bootloader_steps = 48;
constexpr int shown_steps_limit = 1000;
constexpr size_t tool_line_limit = 79;
// A tool that prints nothing for this long has hung: the board is not left
// in its bootloader for ever.
constexpr double tool_idle_seconds = 300;

bool update_possible(vx4_power_board *board)
{
    pthread_mutex_lock(&board->register_lock);
    bool variant = board->registers.pb_status & VX4_PB_STATUS_VARIANT;
    pthread_mutex_unlock(&board->register_lock);
    return variant || board->all_zero;
}

std::string find_image() { return vx4_find_stick_file(image_folder, image_pattern); }

// The update thread's side of one update; it holds the update lock throughout.
class Update {
public:
    explicit Update(vx4_power_board *board) : board_(board) {}

    void run();

private:
    bool quitting() const { return board_->update_quit; }

    // Waits seconds (scaled for tests) on the update condition, releasing
    // the update lock meanwhile; a stop request ends the wait at once.
    void pause(double seconds)
    {
        timespec until;
        clock_gettime(CLOCK_MONOTONIC, &until);
        double total = seconds * board_->update_time_scale;
        until.tv_sec += static_cast<time_t>(total);
        until.tv_nsec += static_cast<long>((total - static_cast<double>(static_cast<time_t>(total))) * 1e9);
        if (until.tv_nsec >= 1000000000) {
            until.tv_sec += 1;
            until.tv_nsec -= 1000000000;
        }
        while (!quitting() &&
               pthread_cond_clockwait(&board_->update_condition, &board_->update_lock, CLOCK_MONOTONIC, &until) !=
                   ETIMEDOUT) {
        }
    }

    void status(const char *stage, const char *detail)
    {
        pthread_mutex_lock(&board_->update_status_lock);
        vx4_copy_text(board_->update_progress, sizeof board_->update_progress, progress_);
        vx4_copy_text(board_->update_stage, sizeof board_->update_stage, stage);
        vx4_copy_text(board_->update_detail, sizeof board_->update_detail, detail);
        pthread_mutex_unlock(&board_->update_status_lock);
        trace(TRACE_POWER_BOARD, "update status '%s' '%s' '%s'", progress_, stage, detail);
    }

    void step_status(int step, const char *stage, const char *detail)
    {
        snprintf(progress_, sizeof progress_, "%d of %d", step < shown_steps_limit ? step : shown_steps_limit,
                 total_ < shown_steps_limit ? total_ : shown_steps_limit);
        status(stage, detail);
    }

    // Once a second, detail "<word> (n)" with n from count down to 1.
    void countdown(const char *stage, const char *word, int count)
    {
        for (int left = count; left > 0; --left) {
            char detail[32];
            snprintf(detail, sizeof detail, "%s (%d)", word, left);
            status(stage, detail);
            pause(1);
        }
    }

    void line(mraa_gpio_context gpio, int value)
    {
        if (gpio)
            mraa_gpio_write(gpio, value);
    }

    vx4_hex_result read_image(const std::string &path);
    void enter_bootloader();
    void program(const std::string &path);
    void follow(const std::string &text);
    void restart();

    vx4_power_board *board_;
    char progress_[32] = "0 of 0";
    int total_ = 0;
    // The tool's output, as its lines come.
    int step_ = 4;
    int erase_lines_ = 0;
    int download_lines_ = 0;
    int other_lines_ = 0;
    int phase_ = 0;
    bool success_ = false;
    bool failure_ = false;
};

// Reads the whole image; anything damaged in it is found before the board
// is touched.
vx4_hex_result Update::read_image(const std::string &path)
{
    long long size = 0;
    int fd = vx4_open_stick_file(path, &size);
    FILE *file = fd >= 0 ? fdopen(fd, "r") : nullptr;
    if (!file) {
        if (fd >= 0)
            close(fd);
        trace(TRACE_POWER_BOARD, "image unreadable '%s'", strerror(errno));
        return VX4_HEX_UNREADABLE;
    }
    if (size > image_file_limit) {
        fclose(file);
        trace(TRACE_POWER_BOARD, "image too large %lld", size);
        return VX4_HEX_UNREADABLE;
    }
    auto flash = std::make_unique<uint8_t[]>(VX4_FLASH_SIZE);
    vx4_hex_image image;
    vx4_hex_begin(&image, flash.get());
    char text[VX4_HEX_LINE_MAX + 2];
    vx4_hex_result result = VX4_HEX_OK;
    for (int number = 1; result == VX4_HEX_OK && !image.ended && fgets(text, sizeof text, file); ++number) {
        size_t length = strlen(text);
        bool whole = length > 0 && text[length - 1] == '\n';
        if (whole)
            text[--length] = '\0';
        else if (!feof(file))
            result = VX4_HEX_BAD_LINE;  // longer than any record
        if (result == VX4_HEX_OK)
            result = vx4_hex_parse_line(&image, text, length);
        if (result != VX4_HEX_OK)
            trace(TRACE_POWER_BOARD, "bad line %d '%.80s' %02X (%s)", number, text, image.sum,
                  vx4_hex_result_text(result));
    }
    fclose(file);
    if (result == VX4_HEX_OK)
        result = vx4_hex_finish(&image);
    if (result != VX4_HEX_OK)
        return result;
    int erases = vx4_hex_erases(image.highest);
    trace(TRACE_POWER_BOARD, "image %ld, %d erases", static_cast<long>(image.highest), erases);
    total_ = erases + bootloader_steps;
    trace(TRACE_POWER_BOARD, "total steps %d", total_);
    return VX4_HEX_OK;
}

void Update::enter_bootloader()
{
    trace(TRACE_POWER_BOARD, "reset high");
    step_status(1, "setting", "boot mode");
    line(board_->boot_reset, 1);
    pause(0.1);
    trace(TRACE_POWER_BOARD, "boot high");
    step_status(2, "setting", "boot mode");
    line(board_->boot_select, 1);
    pause(0.1);
    trace(TRACE_POWER_BOARD, "reset low");
    step_status(3, "setting", "boot mode");
    line(board_->boot_reset, 0);
    pause(0.5);
    trace(TRACE_POWER_BOARD, "invoke bootloader");
    step_status(4, "invoking", "programmer");
}

// One line of the tool's output: colour sequences and other control
// characters removed, at most 79 characters kept.
void Update::follow(const std::string &text)
{
    std::string clean;
    for (size_t i = 0; i < text.size() && clean.size() < tool_line_limit; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == 0x1B && i + 1 < text.size() && text[i + 1] == '[') {
            size_t end = text.find('m', i + 2);
            i = end == std::string::npos ? text.size() : end;
        } else if (c >= 0x20 && c != 0x7F) {
            clean += static_cast<char>(c);
        }
    }
    if (clean.empty())
        return;
    ++step_;
    trace(TRACE_POWER_BOARD, "process '%s'", clean.c_str());
    char detail[32];
    const char *stage;
    auto contains = [&clean](const char *word) { return clean.find(word) != std::string::npos; };
    if (contains("Erasing") || contains("erasing")) {
        phase_ = 1;
        ++erase_lines_;
    } else if (contains("Download") || contains("= ")) {
        phase_ = 2;
        ++download_lines_;
    } else if (contains("complete")) {
        phase_ = 3;
        success_ = true;
    } else if (contains("failed")) {
        phase_ = 3;
        failure_ = true;
    } else {
        ++other_lines_;
    }
    switch (phase_) {
    case 1:
        stage = "erasing";
        snprintf(detail, sizeof detail, "step %d", erase_lines_);
        break;
    case 2:
        stage = "programming";
        snprintf(detail, sizeof detail, "step %d", download_lines_);
        break;
    case 3:
        // A failure reported after the success does not undo it.
        stage = "process";
        snprintf(detail, sizeof detail, "%s", success_ ? "success" : "failure");
        break;
    default:
        stage = "process";
        snprintf(detail, sizeof detail, "step %d", other_lines_);
        break;
    }
    step_status(step_, stage, detail);
}

// Runs the tool with an argument vector (no shell sees the image's name) and
// follows its output until it ends, hangs or the daemon stops.
void Update::program(const std::string &path)
{
    pid_t pid = -1;
    FILE *stream = vx4_popen_read({tool_program, "-c", "port=usb1", "-w", vx4_path(path)}, &pid, true);
    if (!stream) {
        trace(TRACE_POWER_BOARD, "process start failure '%s'", strerror(errno));
        countdown("process", "failure", 10);
        return;
    }
    int fd = fileno(stream);
    std::string pending;
    timespec last;
    clock_gettime(CLOCK_MONOTONIC, &last);
    bool ended = false;
    while (!ended) {
        pollfd watch{fd, POLLIN, 0};
        int ready = poll(&watch, 1, 100);
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (quitting() ||
            (ready == 0 && static_cast<double>(now.tv_sec - last.tv_sec) +
                                   (now.tv_nsec - last.tv_nsec) * 1e-9 >
                               tool_idle_seconds * board_->update_time_scale)) {
            trace(TRACE_POWER_BOARD, "process stopped");
            kill(pid, SIGKILL);
            failure_ = !success_;
            break;
        }
        if (ready <= 0)
            continue;
        char chunk[1024];
        ssize_t got = read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        ended = got <= 0;
        if (got > 0) {
            last = now;
            pending.append(chunk, static_cast<size_t>(got));
        }
        for (size_t end; (end = pending.find('\n')) != std::string::npos || (ended && !pending.empty());) {
            follow(pending.substr(0, end));
            pending.erase(0, end == std::string::npos ? std::string::npos : end + 1);
        }
        if (pending.size() > 4096)
            pending.resize(4096);  // the rest of an endless line is never shown
    }
    // The tool's exit status says nothing: its words decide.
    if (success_)
        countdown("update", "success", 5);
    else
        countdown("update", failure_ ? "failure" : "unknown", 10);
    trace(TRACE_POWER_BOARD, "process done");
    status("programmer", "done");
    vx4_pclose(stream, pid);
    pause(2);
}

void Update::restart()
{
    for (const char *left : {"3", "2", "1"}) {
        status("resetting", left);
        pause(1);
    }
    trace(TRACE_POWER_BOARD, "reset high");
    status("reset", "high");
    line(board_->boot_reset, 1);
    pause(0.1);
    trace(TRACE_POWER_BOARD, "boot low");
    status("reset", "normal");
    line(board_->boot_select, 0);
    pause(0.1);
    trace(TRACE_POWER_BOARD, "reset low");
    status("reset", "low");
    line(board_->boot_reset, 0);
    pause(1);
    status("program", success_ ? "complete" : "failed");
    pause(2);
}

void Update::run()
{
    trace(TRACE_POWER_BOARD, "update begin");
    std::string path = update_possible(board_) ? find_image() : "";
    bool restarted = false;
    uint8_t power_enable = 0;
    if (path.empty() || path.size() >= path_limit) {
        trace(TRACE_POWER_BOARD, "file missing");
        countdown("file", "missing", 10);
    } else if (vx4_hex_result result = read_image(path); result != VX4_HEX_OK) {
        // Nothing is programmed from a file known to be damaged.
        trace(TRACE_POWER_BOARD, "file rejected");
        countdown("rejected", vx4_hex_result_text(result), 10);
    } else {
        pthread_mutex_lock(&board_->register_lock);
        power_enable = board_->registers.pb_power_enable;
        pthread_mutex_unlock(&board_->register_lock);
        enter_bootloader();
        program(path);
        restart();
        restarted = true;
    }
    trace(TRACE_POWER_BOARD, "update end");
    // What was learnt from the board is stale only once it has restarted.
    if (restarted)
        vx4_power_board_reset_board_state(board_);
    board_->update_active = 0;
    if (board_->update_done)
        board_->update_done();
    if (restarted) {
        uint8_t rails = power_enable & (power_write | camera_rail | laser_rail);
        vx4_power_board_queue_power_write(board_, 0, rails | power_write);
    }
}

}  // namespace

void *vx4_power_board_update_thread(void *argument)
{
    auto *board = static_cast<vx4_power_board *>(argument);
    pthread_mutex_lock(&board->update_lock);
    for (;;) {
        while (!board->update_active && !board->update_quit)
            pthread_cond_wait(&board->update_condition, &board->update_lock);
        if (board->update_quit)
            break;
        Update(board).run();
    }
    pthread_mutex_unlock(&board->update_lock);
    return nullptr;
}

int vx4_power_board_get_update_available(vx4_power_board *board, char *buffer, size_t size)
{
    std::string path = board && update_possible(board) ? find_image() : "";
    vx4_copy_text(buffer, size, path);
    return path.empty() ? 0 : 1;
}

void vx4_power_board_load_update_version(vx4_power_board *board, char *buffer, size_t size)
{
    std::string path = board && update_possible(board) ? find_image() : "";
    vx4_copy_text(buffer, size, vx4_stick_file_version(path));
}

int vx4_power_board_trigger_firmware_update(vx4_power_board *board, void (*done)())
{
    if (!board || !update_possible(board) || find_image().empty())
        return 0;
    auto *record = static_cast<vx4_power_board_record *>(calloc(1, sizeof(vx4_power_board_record)));
    if (!record)
        return 0;
    record->type = VX4_PB_RECORD_UPDATE;
    record->done = done;
    vx4_power_board_queue_record(board, record);
    return 1;
}

void vx4_power_board_load_update_status(vx4_power_board *board, char *progress, size_t progress_size, char *stage,
                                        size_t stage_size, char *detail, size_t detail_size)
{
    if (!board) {
        vx4_copy_text(progress, progress_size, "0 of 0");
        vx4_copy_text(stage, stage_size, "not active");
        vx4_copy_text(detail, detail_size, "not active");
        return;
    }
    pthread_mutex_lock(&board->update_status_lock);
    vx4_copy_text(progress, progress_size, board->update_progress);
    vx4_copy_text(stage, stage_size, board->update_stage);
    vx4_copy_text(detail, detail_size, board->update_detail);
    pthread_mutex_unlock(&board->update_status_lock);
}
