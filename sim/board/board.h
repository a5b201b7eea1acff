// The simulated power board: what sits at the far end of the SPI link.
//
// It sees the bus as the daemon drives it (GPIO lines, SPI set-up, transfers
// framed by chip select on GPIO 24), checks every transaction's framing and
// bit order, answers reads with a status frame in its model's layout, and
// applies and records register writes. Readings and faults are set through
// the control API.
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
    };
    struct Write {
        int reg;
        std::vector<uint8_t> data;
        std::string wire;
        bool valid;
    };
    enum class Kind { none, read, write, unknown };

    std::string gpio_request(int pin, const std::vector<std::string> &words);
    std::optional<std::string> spi_request(const std::vector<std::string> &words);
    void chip_select(int value);
    uint8_t transfer_byte(uint8_t wire);
    void finish_transaction();
    void apply_write(int reg, const std::vector<uint8_t> &data, const std::string &wire);
    std::vector<uint8_t> build_frame();
    const std::vector<Field> &layout() const;
    void error(const std::string &text);
    // Moves the board's own state on to now: motor runs end after their
    // duration. Motor dynamics (encoders, currents, the mast's hard stop)
    // belong here as well.
    void advance(Clock::time_point now);

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
    long long power_off_requests_ = 0;
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
};
