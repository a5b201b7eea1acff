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
    // The connection a late completion belongs to (the owner given with its
    // command); -1 for the connection whose packet is being handled, or for
    // notices, which go to every connection.
    int owner = -1;
};

class SimViscaCamera {
public:
    SimViscaCamera();

    // One packet, header to terminator, from the connection owner. Replies
    // go to out; returns true when the packet was an interface clear
    // (pending completions are dropped).
    bool handle(const std::vector<uint8_t> &packet, double now, std::vector<SimViscaOutput> &out, int owner = -1);
    // Moves zoom and focus up to now; position notices, and the completions
    // of direct moves whose lens has arrived, go to out.
    void advance(double now, std::vector<SimViscaOutput> &out);
    bool moving() const;
    // True once after the "user update" command: the module starts its loader.
    bool take_loader_request()
    {
        bool requested = loader_requested_;
        loader_requested_ = false;
        return requested;
    }

    // The camera module's power comes (back) on (not the VISCA standby):
    // every setting is back at its default, the titles are gone, and the
    // lens initialises for the lens initialisation time, running to wide and
    // far; meanwhile it takes no zoom or focus command.
    void power_up(double now);
    bool initialising(double now) const { return now < initialised_at_; }

    void set_delays(double ack_seconds, double completion_seconds);
    void set_lens_initialisation(double seconds) { lens_initialisation_ = seconds < 0 ? 0 : seconds; }
    void set_version(int model_code, int rom_version);
    void set_positions(int zoom, int focus);
    double ack_delay() const { return ack_delay_; }
    double completion_delay() const { return completion_delay_; }

    // Settings, notices and counters (the shared view holds the rest).
    json_object *describe(double now) const;

private:
    struct Axis {
        double position = 0;
        double low = 0;
        double high = 0;
        double target = -1;  // direct move under way when >= 0
        double rate = 0;     // positions per second, signed, for continuous moves
        int moves = 0;       // counts every start and stop
        void stop()
        {
            target = -1;
            rate = 0;
            ++moves;
        }
        // Continuous move at a signed speed, until stopped or at an end.
        void run(double speed)
        {
            target = -1;
            rate = speed;
            ++moves;
        }
        void move_to(double where, double speed)
        {
            target = where < low ? low : where > high ? high : where;
            rate = speed;
            ++moves;
        }
        bool advance(double seconds);
        bool busy() const { return target >= 0 || rate != 0; }
    };

    // One of the camera's two command sockets.
    struct Socket {
        double busy_until = 0;
        // A direct move completes when its lens arrives, or when another
        // command takes the lens over.
        bool awaits_zoom = false;
        bool awaits_focus = false;
        int zoom_move = 0;
        int focus_move = 0;
        double acknowledged = 0;
        int owner = -1;
        bool awaiting() const { return awaits_zoom || awaits_focus; }
    };

    // What the camera forgets when its power goes.
    struct Settings {
        bool digital_zoom_on = false;
        bool digital_zoom_separate = false;
        bool zoom_notices = false;
        bool focus_notices = false;
        std::string focus_mode = "auto";
        std::string af_sensitivity = "normal";
        std::string af_mode = "normal";
        std::string ir_correction = "standard";
        int focus_near_limit = 0xC000;
        std::string white_balance = "auto";
        int red_gain = 0x80, blue_gain = 0x80, gain = 0, iris = 0x0D, shutter = 0x0C;
        std::string exposure_mode = "auto";
        bool flip = false, stabilizer = false, high_sensitivity = false, icr = false, auto_icr = false;
        int defog = 0;  // 0 off, else the level
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
    void complete_arrivals(double now, std::vector<SimViscaOutput> &out);
    void clear_sockets();

    double ack_delay_ = 0;
    double completion_delay_ = 0;
    double lens_initialisation_ = 0;
    double initialised_at_ = 0;
    Socket sockets_[3];  // 1 and 2
    double last_advance_ = -1;
    // Set by command() for a direct move, whose completion waits for the lens.
    bool awaits_zoom_ = false;
    bool awaits_focus_ = false;

    bool power_ = true;
    Axis zoom_;
    Axis digital_zoom_;
    Axis focus_;
    Settings settings_;
    int notified_zoom_ = -1;
    int notified_digital_zoom_ = -1;
    int notified_focus_ = -1;
    int af_triggers_ = 0;
    int one_push_triggers_ = 0;
    int model_code_ = 0x061A;
    int rom_version_ = 0x0123;
    int lens_initialisations_ = 0;
    int camera_initialisations_ = 0;
    int power_ups_ = 0;
    bool loader_requested_ = false;
};

// The character a camera title code stands for (' ' for codes without one).
char sim_title_character(uint8_t code);
