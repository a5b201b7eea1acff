#include "core/fifo.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/application.h"
#include "platform.h"

FILE *fifo_stream;

namespace {

constexpr size_t line_size = 1024;

ev_io fifo_watcher;
fifo_command_handler command_handler;

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

// Reads every line the stream holds, so that two commands written at once
// are both acted on now rather than at the next notification.
void fifo_callback(struct ev_loop *, ev_io *, int)
{
    // A line longer than the buffer is dropped whole: its tail must never
    // run as a command of its own.
    static bool skipping = false;
    char line[line_size];
    for (;;) {
        // Counted, not measured with strlen: a NUL inside must not hide how
        // long the line really is.
        clearerr(fifo_stream);
        size_t length = 0;
        for (int c; length < sizeof line - 1 && (c = getc(fifo_stream)) != EOF;) {
            line[length++] = static_cast<char>(c);
            if (c == '\n')
                break;
        }
        if (length == 0)
            return;
        line[length] = '\0';
        bool ended = line[length - 1] == '\n';
        if (skipping || (!ended && length == sizeof line - 1)) {
            skipping = !ended;
            continue;
        }
        fifo_command commands[FIFO_MAX_COMMANDS];
        int count = vx4_match_fifo_line(line, commands);
        for (int i = 0; i < count; ++i)
            command_handler(commands[i]);
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

int vx4_open_command_fifo(vx4_application *application, fifo_command_handler handler)
{
    command_handler = handler;
    std::string path = vx4_path("/var/run/vx4/api.fifo");
    unlink(path.c_str());
    if (mkfifo(path.c_str(), 0600) != 0) {
        fprintf(stderr, "%s: mkdifo() failed at line %d: %s\n", application->program_name, 208,
                strerror(errno));
        return -1;
    }
    // Read-write, so the FIFO never reports end-of-file as writers come and go.
    int fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
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
    ev_io_start(application->loop, &fifo_watcher);
    return 0;
}
