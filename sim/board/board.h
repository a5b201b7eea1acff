// The simulated power board: what sits at the far end of the SPI link.
//
// It sees the bus as the daemon drives it (GPIO lines, SPI set-up, transfers
// framed by chip select on GPIO 24), checks every transaction's framing and
// bit order, answers reads with a status frame in its model's layout, and
// applies and records register writes. Its motors move over time: the tilt
// motor, and a second motor that is the mast's height drive or a pan drive
// as the motor type reading says. Readings, the mast and faults are set
// through the control API.
#pragma once

#include <json-c/json.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class SimBoard {
public:
    using Clock = std::chrono::steady_clock;

    enum class Model { advanced, basic };

    explicit SimBoard(Model model);

    // One request line of the bus protocol; the reply line, or nothing when
    // the board is silent and the request is left unanswered.
    std::optional<std::string> request(const std::string &line);
    // The daemon's connection went away: a transaction in progress is lost.
    void disconnected();

    // Control API.
    json_object *state();            // everything below
    json_object *writes();           // every register write received, in order
    void clear_writes();
    // Sets readings given as {"pb_...": value}; all or none. False with the
    // reason when a key is unknown or a value out of range.
    bool set_readings(json_object *values, std::string *error);
    bool set_faults(json_object *faults, std::string *error);
    // The programming tool's write of an image file (its path), accepted
    // only while the board runs its ROM bootloader. False with the reason.
    bool flash(const std::string &image, std::string *error);
    // Puts the mast somewhere by hand: {"extension_mm": x, "encoder": n,
    // "speed": mm/s per percent of PWM}; all or none.
    bool set_mast(json_object *values, std::string *error);

    // A field of a status frame layout.
    enum class Type { u8, i8, u16, i16, u32, i32 };
    struct Field {
        const char *name;
        int offset;
        Type type;
        double scale;  // the reading is the raw value times this
    };

private:
    struct Gpio {
        bool open = false;
        bool output = false;
        int value = 0;
    };
    struct Spi {
        bool open = false;
        int mode = -1;
        long frequency = 0;
        bool lsb_first = false;
    };
    struct Run {  // a motor run commanded through registers 3 and 6
        bool running = false;
        int pwm = 0;
        Clock::time_point until{};
        std::optional<Clock::time_point> stalled_since;  // driven against an end stop or a jam
    };
    struct Mast {
        double extension_mm = 0;  // out from the retracted end stop
        long long counted = 0;    // the extension in encoder counts, as last counted
        double speed = 3.0;       // mm/s per percent of PWM
    };
    struct Write {
        int reg;
        std::vector<uint8_t> data;
        std::string wire;
        bool valid;
    };
    enum class Kind { none, read, write, unknown, unanswered };
    // The microcontroller, as its reset (GPIO 13) and boot-select (GPIO 15)
    // lines leave it: running its firmware, held in reset, or in its ROM
    // bootloader, where it does not answer the bus.
    enum class Mcu { running, reset, bootloader };
    struct LineChange {
        int line;
        int value;
        double at_ms;  // since the board started
    };

    std::string gpio_request(int pin, const std::vector<std::string> &words);
    std::optional<std::string> spi_request(const std::vector<std::string> &words);
    void chip_select(int value);
    void boot_line(int pin, int old_value, int value);
    uint8_t transfer_byte(uint8_t wire);
    void finish_transaction();
    void apply_write(int reg, const std::vector<uint8_t> &data, const std::string &wire);
    std::vector<uint8_t> build_frame();
    const std::vector<Field> &layout() const;
    void error(const std::string &text);
    // Moves the board's own state on to now: motors turn and their runs
    // end; encoders, currents and over-current bits follow.
    void advance(Clock::time_point now);
    void turn_tilt(Run &run, double seconds);
    void turn_second_motor(Run &run, Clock::time_point from, Clock::time_point to);
    void update_readings();
    void move_mast(double extension_mm);
    void trip(int motor);
    double motor_amps(int motor) const;
    void start_run(int motor);

    std::mutex lock_;
    Model model_;
    uint8_t read_command_;
    int frame_length_;
    int checksum_offset_;
    std::map<std::string, long long> raw_;  // every frame field, raw, by name
    std::map<int, Gpio> gpio_;
    Spi spi_;

    // The transaction between chip select low and high.
    bool selected_ = false;
    std::vector<uint8_t> wire_;
    Kind kind_ = Kind::none;
    std::vector<uint8_t> frame_wire_;

    Run runs_[2];
    Mast mast_;
    double tilt_counts_ = 0;  // fractions of counts carried between steps
    double pan_counts_ = 0;
    Clock::time_point now_;  // of the last advance
    std::optional<Clock::time_point> overcurrent_until_[2];  // status bit held after a trip
    long long power_off_requests_ = 0;
    Clock::time_point started_;
    Mcu mcu_ = Mcu::running;
    std::deque<LineChange> line_changes_;
    long long bootloader_entries_ = 0;
    long long restarts_ = 0;  // normal starts after a reset
    long long unanswered_ = 0;  // transactions while not running
    long long flashes_ = 0;
    long long flashed_bytes_ = 0;
    std::string flashed_image_;
    long long transactions_ = 0;
    long long reads_ = 0;
    long long write_count_ = 0;
    long long error_count_ = 0;
    std::deque<std::string> errors_;  // the latest
    std::deque<Write> writes_;
    long long writes_dropped_ = 0;

    // Faults: frames left (-1: until cleared).
    long long bad_checksum_ = 0;
    long long zero_frames_ = 0;
    bool silent_ = false;
    int overcurrent_motor_ = 0;  // this motor trips whenever it runs
    bool no_current_ = false;    // the second motor draws nothing and does not turn
    bool stuck_encoder_ = false;  // the second motor's encoder does not count
    bool jammed_ = false;        // the second motor cannot turn: it stalls
};
