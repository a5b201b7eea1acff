#include "fifo.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "application.h"
#include "platform.h"
#include "power_board.h"

FILE *fifo_stream;

namespace {

constexpr size_t line_size = 1024;

ev_io fifo_watcher;

struct led_word {
    const char *word;
    int mask;
};

const led_word led_words[] = {
    {"low", 0x09}, {"medium", 0x12}, {"high", 0x24}, {"strip", 0xC0}, {"leds_off", 0x00},
};

bool starts_with(const char *line, const char *word)
{
    return strncmp(line, word, strlen(word)) == 0;
}

int parse_pwm(const char *digits)
{
    long value = strtol(digits, nullptr, 10);
    if (value > 255)
        return 255;
    return value < 0 ? 0 : static_cast<int>(value);
}

// Light words change the mask and keep the PWM, "pwm" the reverse: each
// builds on what the board holds when its write goes out.
void apply_command(vx4_application *application, const fifo_command &command)
{
    vx4_power_board *board = vx4_application_get_power_board(application);
    if (!board)
        return;
    switch (command.action) {
    case FIFO_CAMERA_ENABLE:
        vx4_power_board_enable_camera_power(board);
        break;
    case FIFO_CAMERA_DISABLE:
        vx4_power_board_disable_camera_power(board);
        break;
    case FIFO_LASER_ENABLE:
        vx4_power_board_enable_laser_power(board);
        break;
    case FIFO_LASER_DISABLE:
        vx4_power_board_disable_laser_power(board);
        break;
    case FIFO_LED_MASK:
        vx4_power_board_enable_led_power(board, command.value, -1);
        break;
    case FIFO_LED_PWM:
        vx4_power_board_enable_led_power(board, -1, command.value);
        break;
    }
}

// Reads every line the stream holds, so that two commands written at once
// are both acted on now rather than at the next notification.
void fifo_callback(struct ev_loop *, ev_io *watcher, int)
{
    auto *application = static_cast<vx4_application *>(watcher->data);
    char line[line_size];
    for (;;) {
        clearerr(fifo_stream);
        if (!fgets(line, sizeof line, fifo_stream))
            return;
        fifo_command commands[FIFO_MAX_COMMANDS];
        int count = vx4_match_fifo_line(line, commands);
        for (int i = 0; i < count; ++i)
            apply_command(application, commands[i]);
    }
}

}  // namespace

int vx4_match_fifo_line(const char *line, fifo_command commands[FIFO_MAX_COMMANDS])
{
    int count = 0;
    if (starts_with(line, "camera enable"))
        commands[count++] = {FIFO_CAMERA_ENABLE, 0};
    if (starts_with(line, "camera disable"))
        commands[count++] = {FIFO_CAMERA_DISABLE, 0};
    if (starts_with(line, "laser enable"))
        commands[count++] = {FIFO_LASER_ENABLE, 0};
    if (starts_with(line, "laser disable"))
        commands[count++] = {FIFO_LASER_DISABLE, 0};
    for (const led_word &led : led_words)
        if (starts_with(line, led.word))
            commands[count++] = {FIFO_LED_MASK, led.mask};
    if (starts_with(line, "pwm"))
        commands[count++] = {FIFO_LED_PWM, parse_pwm(line + 3)};
    return count;
}

int vx4_open_command_fifo(vx4_application *application)
{
    std::string path = vx4_path("/var/run/vx4/api.fifo");
    unlink(path.c_str());
    if (mkfifo(path.c_str(), 0600) != 0) {
        fprintf(stderr, "%s: mkdifo() failed at line %d: %s\n", application->program_name, 208,
                strerror(errno));
        return -1;
    }
    // Read-write, so the FIFO never reports end-of-file as writers come and go.
    int fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        fprintf(stderr, "%s: open() failed at line %d: %s\n", application->program_name, 215,
                strerror(errno));
        return -1;
    }
    fifo_stream = fdopen(fd, "r");
    if (!fifo_stream) {
        fprintf(stderr, "%s: open() failed at line %d: %s\n", application->program_name, 215,
                strerror(errno));
        close(fd);
        return -1;
    }
    ev_io_init(&fifo_watcher, fifo_callback, fd, EV_READ);
    fifo_watcher.data = application;
    ev_io_start(application->loop, &fifo_watcher);
    return 0;
}
