// The simulated camera module's loader: what the module runs after the
// "user update" command, until it restarts with new firmware. It talks to
// one connection at a time: it says "ready", takes "reprogram ( )\r",
// answers "receive" and receives the image by X-Modem (128- or 1024-byte
// blocks with CRC-16), checking every block; after the end it says "reboot"
// and the module restarts. Not thread-safe: the camera module holds its lock
// around every call.
#pragma once

#include <json-c/json.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

class SimCameraLoader {
public:
    struct Send {
        int client;
        std::vector<uint8_t> bytes;
    };

    explicit SimCameraLoader(std::string image_file) : image_file_(std::move(image_file)) {}

    bool active() const { return phase_ != Phase::off; }
    // The module switches over; client sent the user update.
    void enter(int client, double now);
    void connected(int client, double now);
    void disconnected(int client);
    void receive(int client, const uint8_t *data, size_t count, double now);
    // What is due by now goes to out; true when the module restarts now
    // (every connection drops, the camera powers up).
    bool due(double now, std::vector<Send> &out);
    // When something is next due (-1: nothing).
    double next_due() const;

    // Control API: {"silent": bool, "reconnect": bool, "nak_blocks": n}.
    bool set_faults(json_object *faults, std::string *error);
    json_object *describe() const;

    // CRC-16 of X-Modem (polynomial 0x1021, initial 0).
    static uint16_t crc16(const uint8_t *data, size_t count);

private:
    enum class Phase { off, starting, prompt, receiving, rebooting };
    struct Timed {
        double due;
        Send send;
    };

    void say(const char *text, double now, double after = 0);
    void block(double now);
    void finish(double now);

    std::string image_file_;
    Phase phase_ = Phase::off;
    int talker_ = -1;  // the connection the loader talks to
    std::vector<uint8_t> input_;
    std::vector<Timed> pending_;
    double prompt_due_ = -1;
    double poke_due_ = -1;  // the next "C" while waiting for the first block
    int pokes_ = 0;
    double restart_due_ = -1;
    int expected_ = 1;
    std::vector<uint8_t> image_;
    // Counters and faults.
    long long entries_ = 0;
    long long blocks_ = 0;
    long long naks_ = 0;
    long long crc_errors_ = 0;
    long long sequence_errors_ = 0;
    long long cancels_ = 0;
    long long completed_ = 0;
    long long image_bytes_ = 0;
    bool silent_ = false;
    bool reconnect_ = false;
    long long nak_blocks_ = 0;
};
