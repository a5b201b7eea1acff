#include "board.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

using namespace std::chrono_literals;

namespace {

constexpr int chip_select_pin = 24;
constexpr int reset_pin = 13;
constexpr int boot_select_pin = 15;
constexpr size_t line_changes_kept = 200;

// Motors. The mast's encoder counts fall as it extends; it runs between the
// retracted end stop (home) and the top of its travel.
constexpr double mast_counts_per_mm = 222.5;
constexpr double mast_travel_mm = 1143.0;  // 45 in
constexpr double retracted_height_in = 6.0;
constexpr double tilt_counts_per_second = 10.0;  // per percent of PWM
constexpr double pan_counts_per_second = 20.0;
constexpr double most_mast_speed = 50.0;  // mm/s per percent
// The board's own protection: a motor that stalls this long is stopped, and
// an over-current trips the motor at once and holds its status bit a while.
constexpr auto stall_cut = 300ms;
constexpr auto overcurrent_hold = 1000ms;
constexpr uint8_t overcurrent_bits[2] = {0x04, 0x08};
constexpr size_t errors_kept = 50;
constexpr size_t writes_kept = 10000;

using Field = SimBoard::Field;
using Type = SimBoard::Type;

const std::vector<Field> advanced_layout = {
    {"pb_power_enable", 0, Type::u8, 1},
    {"pb_led_enable", 1, Type::u8, 1},
    {"pb_led_pwm", 2, Type::u8, 1},
    {"pb_motor_pwm", 3, Type::i8, 1},
    {"pb_motor_duration", 4, Type::u16, 1},
    {"pb_motor_command", 6, Type::u8, 1},
    {"pb_status", 7, Type::u8, 1},
    {"pb_local_time", 8, Type::u32, 1},
    {"pb_bme280_pressure", 12, Type::u32, 1},
    {"pb_bme280_humidity", 16, Type::u16, 0.01},
    {"pb_bme280_temperature", 18, Type::i16, 0.01},
    {"pb_imu_gyroscope_0", 20, Type::i16, 0.01},
    {"pb_imu_gyroscope_1", 22, Type::i16, 0.01},
    {"pb_imu_gyroscope_2", 24, Type::i16, 0.01},
    {"pb_imu_accelerometer_0", 26, Type::i16, 0.001},
    {"pb_imu_accelerometer_1", 28, Type::i16, 0.001},
    {"pb_imu_accelerometer_2", 30, Type::i16, 0.001},
    {"pb_imu_magnetometer_0", 32, Type::i16, 1},
    {"pb_imu_magnetometer_1", 34, Type::i16, 1},
    {"pb_imu_magnetometer_2", 36, Type::i16, 1},
    {"pb_imu_temperature", 38, Type::i16, 0.01},
    {"pb_imu_sample_count", 40, Type::u8, 1},
    {"pb_status_period", 41, Type::u16, 1},
    {"pb_board_time", 43, Type::u32, 1},
    {"pb_up_time", 47, Type::u32, 1},
    {"pb_motor_time", 51, Type::u32, 1},
    {"pb_camera_time", 55, Type::u32, 1},
    {"pb_laser_time", 59, Type::u32, 1},
    {"pb_led_time", 63, Type::u32, 1},
    {"pb_over_temperature_events", 67, Type::u32, 1},
    {"pb_under_temperature_events", 71, Type::u32, 1},
    {"pb_over_voltage_events", 75, Type::u32, 1},
    {"pb_under_voltage_events", 79, Type::u32, 1},
    {"pb_power_on_events", 83, Type::u32, 1},
    {"pb_monitor_vin_volts", 87, Type::u16, 0.001},
    {"pb_monitor_vin_amps", 89, Type::i16, 0.001},
    {"pb_monitor_vin_power", 91, Type::i16, 0.001},
    {"pb_monitor_camera_volts", 93, Type::u16, 0.001},
    {"pb_monitor_camera_amps", 95, Type::i16, 0.001},
    {"pb_monitor_camera_power", 97, Type::i16, 0.001},
    {"pb_monitor_motor_volts", 99, Type::u16, 0.001},
    {"pb_monitor_motor_amps", 101, Type::i16, 0.001},
    {"pb_monitor_motor_power", 103, Type::i16, 0.001},
    {"pb_encoder_count_0", 105, Type::i32, 1},
    {"pb_encoder_count_1", 109, Type::i32, 1},
    {"pb_encoder_speed_0", 113, Type::i16, 1},
    {"pb_encoder_speed_1", 115, Type::i16, 1},
    {"pb_laser_distance", 117, Type::u32, 0.001},
    {"pb_laser_quality", 121, Type::u16, 1},
    {"pb_laser_error_code", 123, Type::u16, 1},
    {"pb_laser_sample_count", 125, Type::u8, 1},
    {"pb_motor_type", 126, Type::u8, 1},
    {"pb_board_revision", 129, Type::u16, 1},
    {"pb_build_number", 131, Type::u16, 1},
    {"pb_laser_serial_number", 133, Type::u32, 1},
    {"pb_laser_software_version", 137, Type::u16, 1},
    {"pb_laser_hardware_version", 139, Type::u16, 1},
};

// The basic board reports a few fields; its checksum (needed once status
// bit 0 is set) goes in two spare bytes at the end.
const std::vector<Field> basic_layout = {
    {"pb_power_enable", 0, Type::u8, 1},
    {"pb_led_enable", 1, Type::u8, 1},
    {"pb_led_pwm", 2, Type::u8, 1},
    {"pb_status", 7, Type::u8, 1},
    {"pb_monitor_vin_volts", 8, Type::u16, 0.001},
    {"pb_bme280_temperature", 10, Type::u16, 0.01},
    {"pb_board_revision", 58, Type::u16, 1},
    {"pb_build_number", 60, Type::u16, 1},
};

constexpr int advanced_checksum = 127;
constexpr int basic_checksum = 62;

// Readings of a healthy advanced board at rest, in the fields' units.
const std::map<std::string, double> initial_readings = {
    {"pb_status", 0x01},
    {"pb_bme280_pressure", 1013},
    {"pb_bme280_humidity", 41.5},
    {"pb_bme280_temperature", 31.25},
    {"pb_imu_accelerometer_2", 1.0},
    {"pb_imu_magnetometer_0", 212},
    {"pb_imu_magnetometer_1", -35},
    {"pb_imu_magnetometer_2", 408},
    {"pb_imu_temperature", 33.5},
    {"pb_imu_sample_count", 10},
    {"pb_status_period", 100},
    {"pb_power_on_events", 1},
    {"pb_monitor_vin_volts", 19.8},
    {"pb_monitor_vin_amps", 0.42},
    {"pb_monitor_vin_power", 8.316},
    {"pb_monitor_camera_volts", 12.0},
    {"pb_monitor_camera_amps", 0.3},
    {"pb_monitor_camera_power", 3.6},
    {"pb_monitor_motor_volts", 12.0},
    {"pb_laser_distance", 2.5},
    {"pb_laser_quality", 100},
    {"pb_motor_type", 1},
    {"pb_board_revision", 3},
    {"pb_build_number", 112},
    {"pb_laser_serial_number", 40123},
    {"pb_laser_software_version", 21},
    {"pb_laser_hardware_version", 3},
};

int type_size(Type type)
{
    switch (type) {
    case Type::u8:
    case Type::i8: return 1;
    case Type::u16:
    case Type::i16: return 2;
    default: return 4;
    }
}

bool in_range(Type type, long long raw)
{
    switch (type) {
    case Type::u8: return raw >= 0 && raw <= 0xFF;
    case Type::i8: return raw >= -128 && raw <= 127;
    case Type::u16: return raw >= 0 && raw <= 0xFFFF;
    case Type::i16: return raw >= -32768 && raw <= 32767;
    case Type::u32: return raw >= 0 && raw <= 0xFFFFFFFFLL;
    default: return raw >= INT32_MIN && raw <= INT32_MAX;
    }
}

// The board shifts each byte least significant bit first.
uint8_t reverse(uint8_t byte)
{
    uint8_t out = 0;
    for (int i = 0; i < 8; ++i)
        if (byte & (1 << i))
            out = static_cast<uint8_t>(out | 0x80 >> i);
    return out;
}

std::string hex(const std::vector<uint8_t> &bytes)
{
    std::string text;
    char pair[3];
    for (uint8_t byte : bytes) {
        snprintf(pair, sizeof pair, "%02X", byte);
        text += pair;
    }
    return text;
}

bool parse_hex(const std::string &text, std::vector<uint8_t> *bytes)
{
    if (text.empty() || text.size() % 2)
        return false;
    for (size_t i = 0; i < text.size(); i += 2) {
        unsigned int value;
        if (!isxdigit(static_cast<unsigned char>(text[i])) || !isxdigit(static_cast<unsigned char>(text[i + 1])) ||
            sscanf(text.c_str() + i, "%2x", &value) != 1)
            return false;
        bytes->push_back(static_cast<uint8_t>(value));
    }
    return true;
}

bool parse_number(const std::string &text, long long *value)
{
    if (text.empty())
        return false;
    size_t used = 0;
    try {
        *value = std::stoll(text, &used);
    } catch (const std::exception &) {
        return false;
    }
    return used == text.size();
}

json_object *reading_json(const Field &field, long long raw)
{
    if (field.scale == 1)
        return json_object_new_int64(raw);
    return json_object_new_double(static_cast<double>(raw) * field.scale);
}

// "ERR <code>" with the bus layer's result codes.
const std::string invalid_parameter = "ERR 4";
const std::string invalid_handle = "ERR 5";
const std::string invalid_resource = "ERR 7";

}  // namespace

SimBoard::SimBoard(Model model)
    : model_(model),
      read_command_(model == Model::advanced ? 0x88 : 0x00),
      frame_length_(model == Model::advanced ? 141 : 64),
      checksum_offset_(model == Model::advanced ? advanced_checksum : basic_checksum),
      started_(Clock::now())
{
    for (const Field &field : advanced_layout)
        raw_[field.name] = 0;
    for (const auto &[name, value] : initial_readings)
        for (const Field &field : advanced_layout)
            if (name == field.name)
                raw_[name] = std::llround(value / field.scale);
    if (model == Model::basic)
        raw_["pb_motor_type"] = 0;
    gpio_[chip_select_pin].value = 1;  // pulled up when nobody drives it
    now_ = Clock::now();
}

const std::vector<Field> &SimBoard::layout() const
{
    return model_ == Model::advanced ? advanced_layout : basic_layout;
}

void SimBoard::error(const std::string &text)
{
    ++error_count_;
    errors_.push_back(text);
    if (errors_.size() > errors_kept)
        errors_.pop_front();
    fprintf(stderr, "vx4-sim: board: %s\n", text.c_str());
}

void SimBoard::advance(Clock::time_point now)
{
    Clock::time_point from = now_;
    now_ = std::max(now, now_);
    for (int motor = 0; motor < 2; ++motor) {
        Run &run = runs_[motor];
        if (!run.running)
            continue;
        if (overcurrent_motor_ == motor + 1) {
            trip(motor);
            continue;
        }
        Clock::time_point to = std::clamp(run.until, from, now_);
        if (motor == 0)
            turn_tilt(run, std::chrono::duration<double>(to - from).count());
        else
            turn_second_motor(run, from, to);
        if (now_ >= run.until)
            run.running = false;
        if (!run.running)
            run.stalled_since.reset();
    }
    for (int motor = 0; motor < 2; ++motor) {
        if (overcurrent_until_[motor] && now_ >= *overcurrent_until_[motor]) {
            raw_["pb_status"] &= ~overcurrent_bits[motor];
            overcurrent_until_[motor].reset();
        }
    }
    update_readings();
}

void SimBoard::turn_tilt(Run &run, double seconds)
{
    tilt_counts_ += tilt_counts_per_second * run.pwm * seconds;
    double whole = std::trunc(tilt_counts_);
    tilt_counts_ -= whole;
    raw_["pb_encoder_count_0"] += static_cast<long long>(whole);
}

void SimBoard::turn_second_motor(Run &run, Clock::time_point from, Clock::time_point to)
{
    long long type = raw_["pb_motor_type"];
    if (no_current_ || (type != 1 && type != 2))
        return;  // nothing there that turns
    double seconds = std::chrono::duration<double>(to - from).count();
    if (jammed_) {
        if (!run.stalled_since)
            run.stalled_since = from;
    } else if (type == 2) {
        pan_counts_ += pan_counts_per_second * run.pwm * seconds;
        double whole = std::trunc(pan_counts_);
        pan_counts_ -= whole;
        if (!stuck_encoder_)
            raw_["pb_encoder_count_1"] += static_cast<long long>(whole);
    } else {
        double speed = mast_.speed * run.pwm;  // mm/s, positive extends
        double wanted = mast_.extension_mm + speed * seconds;
        double reached = std::clamp(wanted, 0.0, mast_travel_mm);
        if (reached != wanted) {
            // Into an end stop: the encoder stops, the current rises.
            if (!run.stalled_since) {
                double travelled = (reached - mast_.extension_mm) / speed;
                run.stalled_since = from + std::chrono::duration_cast<Clock::duration>(
                                               std::chrono::duration<double>(travelled));
            }
        } else {
            run.stalled_since.reset();
        }
        move_mast(reached);
    }
    if (run.stalled_since && to - *run.stalled_since >= stall_cut)
        run.running = false;
}

void SimBoard::move_mast(double extension_mm)
{
    mast_.extension_mm = extension_mm;
    auto counted = std::llround(extension_mm * mast_counts_per_mm);
    if (!stuck_encoder_)
        raw_["pb_encoder_count_1"] -= counted - mast_.counted;
    mast_.counted = counted;
}

double SimBoard::motor_amps(int motor) const
{
    const Run &run = runs_[motor];
    if (!run.running)
        return 0;
    double pwm = std::abs(run.pwm);
    if (motor == 0)
        return 0.05 + 0.003 * pwm;
    long long type = raw_.at("pb_motor_type");
    if (no_current_ || (type != 1 && type != 2))
        return 0;
    if (run.stalled_since)
        return 0.3 + 0.02 * pwm;
    if (type == 2)
        return 0.06 + 0.004 * pwm;
    return 0.06 + 0.0045 * pwm * (run.pwm > 0 ? 1.3 : 0.8);  // lifting takes more than lowering
}

void SimBoard::update_readings()
{
    raw_["pb_monitor_motor_amps"] = std::llround((motor_amps(0) + motor_amps(1)) / 0.001);
    // Speeds in counts per 100 ms, the board's status period.
    const Run &tilt = runs_[0];
    raw_["pb_encoder_speed_0"] = tilt.running ? std::llround(tilt_counts_per_second * tilt.pwm * 0.1) : 0;
    const Run &second = runs_[1];
    long long type = raw_["pb_motor_type"];
    double speed = 0;
    if (second.running && !second.stalled_since && !no_current_ && !jammed_ && !stuck_encoder_)
        speed = type == 1   ? -mast_.speed * second.pwm * mast_counts_per_mm
                : type == 2 ? pan_counts_per_second * second.pwm
                            : 0;
    raw_["pb_encoder_speed_1"] = std::clamp(std::llround(speed * 0.1), -32768LL, 32767LL);
}

void SimBoard::trip(int motor)
{
    runs_[motor].running = false;
    runs_[motor].stalled_since.reset();
    raw_["pb_status"] |= overcurrent_bits[motor];
    overcurrent_until_[motor] = now_ + overcurrent_hold;
}

void SimBoard::start_run(int motor)
{
    Run &run = runs_[motor];
    run.running = true;
    run.pwm = static_cast<int>(raw_["pb_motor_pwm"]);
    run.until = now_ + std::chrono::milliseconds(raw_["pb_motor_duration"]);
    run.stalled_since.reset();
}

std::optional<std::string> SimBoard::request(const std::string &line)
{
    std::lock_guard<std::mutex> hold(lock_);
    advance(Clock::now());
    std::vector<std::string> words;
    std::istringstream in(line);
    for (std::string word; in >> word;)
        words.push_back(word);
    long long pin;
    if (words.size() >= 3 && words[0] == "GPIO" && parse_number(words[1], &pin))
        return gpio_request(static_cast<int>(pin), words);
    if (words.size() >= 2 && words[0] == "SPI")
        return spi_request(words);
    error("unknown bus request '" + line + "'");
    return "ERR 1";
}

std::string SimBoard::gpio_request(int pin, const std::vector<std::string> &words)
{
    if (pin != chip_select_pin && pin != 13 && pin != 15)
        return invalid_resource;  // nothing of the board's on other lines
    Gpio &gpio = gpio_[pin];
    const std::string &verb = words[2];
    if (verb == "INIT" && words.size() == 3) {
        gpio.open = true;
        return "OK";
    }
    if (!gpio.open)
        return invalid_handle;
    if (verb == "DIR" && words.size() == 4 && (words[3] == "OUT" || words[3] == "IN")) {
        gpio.output = words[3] == "OUT";
        return "OK";
    }
    long long value;
    if (verb == "WRITE" && words.size() == 4 && parse_number(words[3], &value) && (value == 0 || value == 1)) {
        if (!gpio.output)
            return invalid_parameter;
        int old_value = gpio.value;
        gpio.value = static_cast<int>(value);
        if (pin == chip_select_pin && selected_ != (value == 0))
            chip_select(gpio.value);
        else if (pin != chip_select_pin)
            boot_line(pin, old_value, gpio.value);
        return "OK";
    }
    if (verb == "CLOSE" && words.size() == 3) {
        gpio = Gpio{};
        if (pin == chip_select_pin) {
            if (selected_)
                error("chip select line closed in the middle of a transaction");
            selected_ = false;
            gpio.value = 1;  // pulled up when nobody drives it
        }
        return "OK";
    }
    return invalid_parameter;
}

std::optional<std::string> SimBoard::spi_request(const std::vector<std::string> &words)
{
    long long number;
    if (words.size() == 3 && words[2] == "INIT" && parse_number(words[1], &number)) {
        if (number != 0)
            return invalid_resource;
        spi_ = Spi{};
        spi_.open = true;
        return "OK";
    }
    if (!spi_.open)
        return invalid_handle;
    const std::string &verb = words[1];
    if (verb == "STOP" && words.size() == 2) {
        spi_.open = false;
        return "OK";
    }
    if (verb == "MODE" && words.size() == 3 && parse_number(words[2], &number) && number >= 0 && number <= 3) {
        spi_.mode = static_cast<int>(number);
        return "OK";
    }
    if (verb == "FREQ" && words.size() == 3 && parse_number(words[2], &number) && number > 0) {
        spi_.frequency = static_cast<long>(number);
        return "OK";
    }
    if (verb == "LSB" && words.size() == 3 && (words[2] == "0" || words[2] == "1")) {
        spi_.lsb_first = words[2] == "1";
        return "OK";
    }
    std::vector<uint8_t> bytes;
    if (verb == "XFER" && words.size() == 3 && parse_hex(words[2], &bytes)) {
        if (silent_)
            return std::nullopt;
        std::vector<uint8_t> reply;
        if (!selected_) {
            error("transfer of " + std::to_string(bytes.size()) + " bytes without chip select");
            reply.assign(bytes.size(), 0);
        } else {
            for (uint8_t byte : bytes)
                reply.push_back(transfer_byte(byte));
        }
        return "OK " + hex(reply);
    }
    return invalid_parameter;
}

// The reset line starts the microcontroller afresh when released: in its ROM
// bootloader when boot select is high then, else in its firmware. Boot
// select is read only then, so changing it while the board runs is a fault
// in the daemon's sequence.
void SimBoard::boot_line(int pin, int old_value, int value)
{
    line_changes_.push_back({pin, value, std::chrono::duration<double, std::milli>(Clock::now() - started_).count()});
    if (line_changes_.size() > line_changes_kept)
        line_changes_.pop_front();
    if (pin == boot_select_pin && value != old_value && mcu_ == Mcu::running)
        error("boot select changed to " + std::to_string(value) + " while the board runs (reset not held)");
    if (pin != reset_pin || value == old_value)
        return;
    if (value == 1) {
        // A reset forgets what the registers were told and stops the motors.
        mcu_ = Mcu::reset;
        for (const char *name : {"pb_power_enable", "pb_led_enable", "pb_led_pwm", "pb_motor_pwm", "pb_motor_duration",
                                 "pb_motor_command"})
            raw_[name] = 0;
        for (Run &run : runs_)
            run = Run{};
        update_readings();
    } else if (gpio_[boot_select_pin].value == 1) {
        mcu_ = Mcu::bootloader;
        ++bootloader_entries_;
    } else {
        mcu_ = Mcu::running;
        ++restarts_;
    }
}

bool SimBoard::flash(const std::string &image, std::string *error_text)
{
    std::lock_guard<std::mutex> hold(lock_);
    if (mcu_ != Mcu::bootloader) {
        *error_text = "the board is not in its bootloader";
        return false;
    }
    std::ifstream file(image, std::ios::binary | std::ios::ate);
    if (!file) {
        *error_text = "cannot read " + image;
        return false;
    }
    ++flashes_;
    flashed_bytes_ = static_cast<long long>(file.tellg());
    flashed_image_ = image;
    return true;
}

void SimBoard::chip_select(int value)
{
    if (value == 0) {
        selected_ = true;
        wire_.clear();
        kind_ = Kind::none;
        return;
    }
    selected_ = false;
    finish_transaction();
}

// The answer to one byte on the wire: the first byte of a transaction is the
// command; a read answers the frame, bit-reversed, in the bytes that follow.
uint8_t SimBoard::transfer_byte(uint8_t wire)
{
    size_t index = wire_.size();
    wire_.push_back(wire);
    if (mcu_ != Mcu::running) {
        kind_ = Kind::unanswered;
        return 0;
    }
    if (index == 0) {
        if (spi_.mode != 2 || spi_.lsb_first)
            error("transaction with the controller in mode " + std::to_string(spi_.mode) +
                  (spi_.lsb_first ? ", LSB first" : ", MSB first") + " (the board needs mode 2, MSB first)");
        if (wire == read_command_) {
            kind_ = Kind::read;
            frame_wire_.clear();
            for (uint8_t byte : build_frame())
                frame_wire_.push_back(reverse(byte));
        } else {
            // Write commands are 0x80 | register, sent bit-reversed.
            kind_ = (wire & 0x01) ? Kind::write : Kind::unknown;
        }
        return 0;
    }
    if (kind_ == Kind::read && index - 1 < frame_wire_.size())
        return frame_wire_[index - 1];
    return 0;
}

void SimBoard::finish_transaction()
{
    if (wire_.empty()) {
        error("chip select pulse without a transfer");
        return;
    }
    ++transactions_;
    char command[8];
    snprintf(command, sizeof command, "0x%02X", wire_[0]);
    switch (kind_) {
    case Kind::read:
        if (static_cast<int>(wire_.size()) != 1 + frame_length_)
            error("read of " + std::to_string(wire_.size() - 1) + " bytes, the frame is " +
                  std::to_string(frame_length_));
        else
            ++reads_;
        break;
    case Kind::unanswered:
        ++unanswered_;
        break;
    case Kind::write: {
        std::vector<uint8_t> data;
        for (size_t i = 1; i < wire_.size(); ++i)
            data.push_back(reverse(wire_[i]));
        apply_write(reverse(wire_[0]) & 0x7F, data, hex(wire_));
        break;
    }
    default:
        error(std::string("unknown command byte ") + command);
        break;
    }
    wire_.clear();
    kind_ = Kind::none;
}

// Register values that only a wrong bit order produces are refused, which
// is how a byte sent most significant bit first shows up here.
void SimBoard::apply_write(int reg, const std::vector<uint8_t> &data, const std::string &wire)
{
    static const std::map<int, size_t> sizes = {{0, 1}, {1, 2}, {3, 3}, {6, 1}};
    std::string problem;
    auto size = sizes.find(reg);
    if (data.empty() || data.size() > 16)
        problem = "a write carries 1 to 16 data bytes";
    else if (size != sizes.end() && data.size() != size->second)
        problem = "register " + std::to_string(reg) + " takes " + std::to_string(size->second) + " bytes";
    else if (reg == 0 && ((data[0] & 0x02) == 0 || (data[0] & 0xF0) != 0))
        problem = "power enable value without bit 1 or with bits 4-7";
    else if (reg == 3 && (static_cast<int8_t>(data[0]) < -100 || static_cast<int8_t>(data[0]) > 100))
        problem = "motor PWM outside -100 to 100";
    else if (reg == 6 && data[0] != 1 && data[0] != 2 && data[0] != 0xFF)
        problem = "motor command other than 1, 2 or 0xFF";

    ++write_count_;
    writes_.push_back({reg, data, wire, problem.empty()});
    if (writes_.size() > writes_kept) {
        writes_.pop_front();
        ++writes_dropped_;
    }
    if (!problem.empty()) {
        error("write " + wire + " to register " + std::to_string(reg) + ": " + problem);
        return;
    }
    switch (reg) {
    case 0:
        if (data[0] & 0x01)
            ++power_off_requests_;  // a request to the board, not a state it keeps
        raw_["pb_power_enable"] = data[0] & 0x0E;
        break;
    case 1:
        raw_["pb_led_enable"] = data[0];
        raw_["pb_led_pwm"] = data[1];
        break;
    case 3:
        raw_["pb_motor_pwm"] = static_cast<int8_t>(data[0]);
        raw_["pb_motor_duration"] = data[1] | data[2] << 8;
        break;
    case 6:
        raw_["pb_motor_command"] = data[0];
        for (int motor = 0; motor < 2; ++motor) {
            if (data[0] == 0xFF) {
                runs_[motor].running = false;
                runs_[motor].stalled_since.reset();
            } else if (data[0] == motor + 1) {
                start_run(motor);
            }
        }
        update_readings();
        break;
    default:
        break;  // registers this board does not know are recorded only
    }
}

std::vector<uint8_t> SimBoard::build_frame()
{
    std::vector<uint8_t> frame(static_cast<size_t>(frame_length_), 0);
    if (zero_frames_ != 0) {
        if (zero_frames_ > 0)
            --zero_frames_;
        return frame;
    }
    for (const Field &field : layout()) {
        auto raw = static_cast<unsigned long long>(raw_[field.name]);
        for (int i = 0; i < type_size(field.type); ++i)
            frame[static_cast<size_t>(field.offset + i)] = static_cast<uint8_t>(raw >> (8 * i));
    }
    uint8_t sum = 0;
    for (uint8_t byte : frame)
        sum = static_cast<uint8_t>(sum + byte);
    frame[static_cast<size_t>(checksum_offset_)] = static_cast<uint8_t>(-sum);
    if (bad_checksum_ != 0) {
        if (bad_checksum_ > 0)
            --bad_checksum_;
        ++frame[static_cast<size_t>(checksum_offset_)];
    }
    return frame;
}

void SimBoard::disconnected()
{
    std::lock_guard<std::mutex> hold(lock_);
    if (selected_)
        error("bus connection closed in the middle of a transaction");
    selected_ = false;
    wire_.clear();
    kind_ = Kind::none;
    gpio_[chip_select_pin].value = 1;  // the line is pulled up when nobody drives it
}

json_object *SimBoard::state()
{
    std::lock_guard<std::mutex> hold(lock_);
    auto now = Clock::now();
    advance(now);
    json_object *root = json_object_new_object();
    json_object_object_add(root, "model", json_object_new_string(model_ == Model::advanced ? "advanced" : "basic"));
    char command[8];
    snprintf(command, sizeof command, "0x%02X", read_command_);
    json_object_object_add(root, "read_command", json_object_new_string(command));
    json_object_object_add(root, "frame_length", json_object_new_int(frame_length_));

    long long power = raw_["pb_power_enable"];
    json_object *rails = json_object_new_object();
    json_object_object_add(rails, "camera", json_object_new_boolean(power & 0x04));
    json_object_object_add(rails, "laser", json_object_new_boolean(power & 0x08));
    json_object_object_add(root, "rails", rails);
    json_object *leds = json_object_new_object();
    json_object_object_add(leds, "enable", json_object_new_int64(raw_["pb_led_enable"]));
    json_object_object_add(leds, "pwm", json_object_new_int64(raw_["pb_led_pwm"]));
    json_object_object_add(root, "leds", leds);
    json_object_object_add(root, "power_off_requests", json_object_new_int64(power_off_requests_));

    json_object *motors = json_object_new_array();
    for (int motor = 0; motor < 2; ++motor) {
        const Run &run = runs_[motor];
        json_object *entry = json_object_new_object();
        json_object_object_add(entry, "motor", json_object_new_int(motor + 1));
        json_object_object_add(entry, "running", json_object_new_boolean(run.running));
        json_object_object_add(entry, "pwm", json_object_new_int(run.pwm));
        auto left = run.running ? std::chrono::duration_cast<std::chrono::milliseconds>(run.until - now).count() : 0;
        json_object_object_add(entry, "remaining_ms", json_object_new_int64(left));
        json_object_object_add(entry, "amps", json_object_new_double(motor_amps(motor)));
        json_object_object_add(entry, "stalled", json_object_new_boolean(run.stalled_since.has_value()));
        json_object_array_add(motors, entry);
    }
    json_object_object_add(root, "motors", motors);

    json_object *mast = json_object_new_object();
    json_object_object_add(mast, "extension_mm", json_object_new_double(mast_.extension_mm));
    json_object_object_add(mast, "height_in",
                           json_object_new_double(retracted_height_in + mast_.extension_mm / 25.4));
    json_object_object_add(mast, "encoder", json_object_new_int64(raw_["pb_encoder_count_1"]));
    json_object_object_add(mast, "at_home", json_object_new_boolean(mast_.extension_mm <= 0));
    json_object_object_add(mast, "travel_mm", json_object_new_double(mast_travel_mm));
    json_object_object_add(mast, "speed", json_object_new_double(mast_.speed));
    json_object_object_add(root, "mast", mast);

    json_object *readings = json_object_new_object();
    for (const Field &field : advanced_layout)
        json_object_object_add(readings, field.name, reading_json(field, raw_[field.name]));
    json_object_object_add(root, "readings", readings);

    json_object *faults = json_object_new_object();
    json_object_object_add(faults, "bad_checksum", json_object_new_int64(bad_checksum_));
    json_object_object_add(faults, "zero_frames", json_object_new_int64(zero_frames_));
    json_object_object_add(faults, "silent", json_object_new_boolean(silent_));
    json_object_object_add(faults, "overcurrent", json_object_new_int(overcurrent_motor_));
    json_object_object_add(faults, "no_current", json_object_new_boolean(no_current_));
    json_object_object_add(faults, "stuck_encoder", json_object_new_boolean(stuck_encoder_));
    json_object_object_add(faults, "jammed", json_object_new_boolean(jammed_));
    json_object_object_add(root, "faults", faults);

    json_object *bus = json_object_new_object();
    json_object *lines = json_object_new_object();
    for (const auto &[pin, gpio] : gpio_) {
        json_object *line = json_object_new_object();
        json_object_object_add(line, "open", json_object_new_boolean(gpio.open));
        json_object_object_add(line, "output", json_object_new_boolean(gpio.output));
        json_object_object_add(line, "value", json_object_new_int(gpio.value));
        json_object_object_add(lines, std::to_string(pin).c_str(), line);
    }
    json_object_object_add(bus, "gpio", lines);
    json_object *boot = json_object_new_object();
    static const char *const mcu_names[] = {"running", "reset", "bootloader"};
    json_object_object_add(boot, "mode", json_object_new_string(mcu_names[static_cast<int>(mcu_)]));
    json_object_object_add(boot, "entries", json_object_new_int64(bootloader_entries_));
    json_object_object_add(boot, "restarts", json_object_new_int64(restarts_));
    json_object_object_add(boot, "unanswered", json_object_new_int64(unanswered_));
    json_object_object_add(boot, "flashes", json_object_new_int64(flashes_));
    json_object_object_add(boot, "flashed_bytes", json_object_new_int64(flashed_bytes_));
    json_object_object_add(boot, "flashed_image", json_object_new_string(flashed_image_.c_str()));
    json_object *changes = json_object_new_array();
    for (const LineChange &change : line_changes_) {
        json_object *entry = json_object_new_object();
        json_object_object_add(entry, "line", json_object_new_int(change.line));
        json_object_object_add(entry, "value", json_object_new_int(change.value));
        json_object_object_add(entry, "at_ms", json_object_new_double(change.at_ms));
        json_object_array_add(changes, entry);
    }
    json_object_object_add(boot, "lines", changes);
    json_object_object_add(root, "bootloader", boot);
    json_object *spi = json_object_new_object();
    json_object_object_add(spi, "open", json_object_new_boolean(spi_.open));
    json_object_object_add(spi, "mode", json_object_new_int(spi_.mode));
    json_object_object_add(spi, "frequency", json_object_new_int64(spi_.frequency));
    json_object_object_add(spi, "lsb_first", json_object_new_boolean(spi_.lsb_first));
    json_object_object_add(bus, "spi", spi);
    json_object_object_add(bus, "transactions", json_object_new_int64(transactions_));
    json_object_object_add(bus, "reads", json_object_new_int64(reads_));
    json_object_object_add(bus, "writes", json_object_new_int64(write_count_));
    json_object_object_add(bus, "errors", json_object_new_int64(error_count_));
    json_object *last_errors = json_object_new_array();
    for (const std::string &text : errors_)
        json_object_array_add(last_errors, json_object_new_string(text.c_str()));
    json_object_object_add(bus, "last_errors", last_errors);
    json_object_object_add(root, "bus", bus);
    return root;
}

json_object *SimBoard::writes()
{
    std::lock_guard<std::mutex> hold(lock_);
    json_object *list = json_object_new_array();
    for (const Write &write : writes_) {
        json_object *entry = json_object_new_object();
        json_object_object_add(entry, "register", json_object_new_int(write.reg));
        json_object *data = json_object_new_array();
        for (uint8_t byte : write.data)
            json_object_array_add(data, json_object_new_int(byte));
        json_object_object_add(entry, "data", data);
        json_object_object_add(entry, "wire", json_object_new_string(write.wire.c_str()));
        json_object_object_add(entry, "valid", json_object_new_boolean(write.valid));
        json_object_array_add(list, entry);
    }
    json_object *root = json_object_new_object();
    json_object_object_add(root, "writes", list);
    json_object_object_add(root, "dropped", json_object_new_int64(writes_dropped_));
    return root;
}

void SimBoard::clear_writes()
{
    std::lock_guard<std::mutex> hold(lock_);
    writes_.clear();
    writes_dropped_ = 0;
}

bool SimBoard::set_readings(json_object *values, std::string *error_text)
{
    if (!values || !json_object_is_type(values, json_type_object)) {
        *error_text = "expected an object of readings";
        return false;
    }
    std::map<std::string, long long> changes;
    json_object_object_foreach(values, key, value)
    {
        const Field *field = nullptr;
        for (const Field &candidate : advanced_layout)
            if (key == std::string(candidate.name))
                field = &candidate;
        if (!field) {
            *error_text = std::string("unknown reading ") + key;
            return false;
        }
        if (!json_object_is_type(value, json_type_int) && !json_object_is_type(value, json_type_double)) {
            *error_text = std::string(key) + " is not a number";
            return false;
        }
        double scaled = json_object_get_double(value) / field->scale;
        if (!std::isfinite(scaled) || !in_range(field->type, std::llround(scaled))) {
            *error_text = std::string(key) + " is out of range";
            return false;
        }
        changes[key] = std::llround(scaled);
    }
    std::lock_guard<std::mutex> hold(lock_);
    advance(Clock::now());
    for (const auto &[name, raw] : changes)
        raw_[name] = raw;
    return true;
}

bool SimBoard::set_mast(json_object *values, std::string *error_text)
{
    if (!values || !json_object_is_type(values, json_type_object)) {
        *error_text = "expected an object";
        return false;
    }
    std::optional<double> extension, speed;
    std::optional<long long> encoder;
    json_object_object_foreach(values, key, value)
    {
        std::string name = key;
        bool number = json_object_is_type(value, json_type_int) || json_object_is_type(value, json_type_double);
        double given = json_object_get_double(value);
        if (name == "extension_mm" && number && given >= 0 && given <= mast_travel_mm) {
            extension = given;
        } else if (name == "speed" && number && given > 0 && given <= most_mast_speed) {
            speed = given;
        } else if (name == "encoder" && json_object_is_type(value, json_type_int) &&
                   in_range(Type::i32, json_object_get_int64(value))) {
            encoder = json_object_get_int64(value);
        } else {
            *error_text = "unknown key or bad value: " + name + " (extension_mm 0 to " +
                          std::to_string(static_cast<int>(mast_travel_mm)) + ", speed above 0 up to " +
                          std::to_string(static_cast<int>(most_mast_speed)) + ", encoder a 32-bit count)";
            return false;
        }
    }
    std::lock_guard<std::mutex> hold(lock_);
    advance(Clock::now());
    if (extension)
        move_mast(*extension);  // moved by hand: the encoder counts it
    if (encoder)
        raw_["pb_encoder_count_1"] = *encoder;
    if (speed)
        mast_.speed = *speed;
    runs_[1].stalled_since.reset();
    update_readings();
    return true;
}

bool SimBoard::set_faults(json_object *faults, std::string *error_text)
{
    if (!faults || !json_object_is_type(faults, json_type_object)) {
        *error_text = "expected an object of faults";
        return false;
    }
    long long bad_checksum = -2, zero_frames = -2;
    int silent = -1, overcurrent = -1;
    std::map<bool *, bool> switches;
    json_object_object_foreach(faults, key, value)
    {
        std::string name = key;
        bool is_bool = json_object_is_type(value, json_type_boolean);
        bool is_int = json_object_is_type(value, json_type_int);
        // true: until cleared; a number: that many frames.
        long long frames = is_bool ? (json_object_get_boolean(value) ? -1 : 0) : json_object_get_int64(value);
        if (name == "silent" && is_bool) {
            silent = json_object_get_boolean(value);
        } else if (name == "overcurrent" && ((is_bool && !json_object_get_boolean(value)) ||
                                             (is_int && frames >= 0 && frames <= 2))) {
            overcurrent = static_cast<int>(is_bool ? 0 : frames);
        } else if (is_bool && (name == "no_current" || name == "stuck_encoder" || name == "jammed")) {
            bool *fault = name == "no_current" ? &no_current_ : name == "stuck_encoder" ? &stuck_encoder_ : &jammed_;
            switches[fault] = json_object_get_boolean(value);
        } else if ((name == "bad_checksum" || name == "zero_frames") && (is_bool || (is_int && frames >= -1))) {
            (name == "bad_checksum" ? bad_checksum : zero_frames) = frames;
        } else {
            *error_text = "unknown fault or bad value: " + name;
            return false;
        }
    }
    std::lock_guard<std::mutex> hold(lock_);
    advance(Clock::now());  // the motors moved as they did until now
    if (overcurrent != -1)
        overcurrent_motor_ = overcurrent;
    for (const auto &[fault, on] : switches)
        *fault = on;
    update_readings();
    if (bad_checksum != -2)
        bad_checksum_ = bad_checksum;
    if (zero_frames != -2)
        zero_frames_ = zero_frames;
    if (silent != -1)
        silent_ = silent;
    return true;
}
