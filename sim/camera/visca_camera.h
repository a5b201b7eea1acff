// The simulated camera module's VISCA side: what it does with each packet,
// how zoom and focus move over time, and the replies and notices it sends.
// Not thread-safe: the camera module holds its lock around every call.
#pragma once

#include <json-c/json.h>

#include <cstdint>
#include <string>
#include <vector>

enum class SimReplyKind { acknowledge, completion, answer, error, notice };

struct SimViscaOutput {
    double due;  // seconds on the module's clock
    SimReplyKind kind;
    std::vector<uint8_t> bytes;
};

class SimViscaCamera {
public:
    SimViscaCamera();

    // One packet, header to terminator. Replies go to out; returns true when
    // the packet was an interface clear (pending completions are dropped).
    bool handle(const std::vector<uint8_t> &packet, double now, std::vector<SimViscaOutput> &out);
    // Moves zoom and focus up to now; position notices go to out.
    void advance(double now, std::vector<SimViscaOutput> &out);
    bool moving() const;

    void set_delays(double ack_seconds, double completion_seconds);
    void set_version(int model_code, int rom_version);
    void set_positions(int zoom, int focus);
    double ack_delay() const { return ack_delay_; }
    double completion_delay() const { return completion_delay_; }

    // Settings, notices and counters (the shared view holds the rest).
    json_object *describe() const;

private:
    struct Axis {
        double position = 0;
        double low = 0;
        double high = 0;
        double target = -1;  // direct move under way when >= 0
        double rate = 0;     // positions per second, signed, for continuous moves
        void stop()
        {
            target = -1;
            rate = 0;
        }
        // Continuous move at a signed speed, until stopped or at an end.
        void run(double speed)
        {
            target = -1;
            rate = speed;
        }
        void move_to(double where, double speed)
        {
            target = where < low ? low : where > high ? high : where;
            rate = speed;
        }
        bool advance(double seconds);
        bool busy() const { return target >= 0 || rate != 0; }
    };

    void answer(double now, std::vector<uint8_t> bytes, std::vector<SimViscaOutput> &out) const;
    void error(double now, int socket, int code, std::vector<SimViscaOutput> &out) const;
    bool inquiry(const uint8_t *body, size_t length, double now, std::vector<SimViscaOutput> &out);
    // Applies a camera command (the bytes after 01 04); false when unknown.
    bool command(const uint8_t *c, size_t n, double now, std::vector<SimViscaOutput> &out);
    bool title_command(const uint8_t *c, size_t n);
    void limit_zoom();
    void publish();
    void notices(std::vector<SimViscaOutput> &out, double now, bool force_zoom, bool force_focus);

    double ack_delay_ = 0;
    double completion_delay_ = 0;
    double busy_until_[3] = {0, 0, 0};  // sockets 1 and 2
    double last_advance_ = -1;

    bool power_ = true;
    Axis zoom_;
    Axis digital_zoom_;
    Axis focus_;
    bool digital_zoom_on_ = false;
    bool digital_zoom_separate_ = false;
    bool zoom_notices_ = false;
    bool focus_notices_ = false;
    int notified_zoom_ = -1;
    int notified_digital_zoom_ = -1;
    int notified_focus_ = -1;
    std::string focus_mode_ = "auto";
    std::string af_sensitivity_ = "normal";
    std::string af_mode_ = "normal";
    std::string ir_correction_ = "standard";
    int focus_near_limit_ = 0xC000;
    int af_triggers_ = 0;
    std::string white_balance_ = "auto";
    int one_push_triggers_ = 0;
    int red_gain_ = 0x80, blue_gain_ = 0x80, gain_ = 0, iris_ = 0x0D, shutter_ = 0x0C;
    std::string exposure_mode_ = "auto";
    bool flip_ = false, stabilizer_ = false, high_sensitivity_ = false, icr_ = false, auto_icr_ = false;
    int defog_ = 0;  // 0 off, else the level
    int model_code_ = 0x061A;
    int rom_version_ = 0x0123;
    int lens_initialisations_ = 0;
    int camera_initialisations_ = 0;
};

// The character a camera title code stands for (' ' for codes without one).
char sim_title_character(uint8_t code);
