#include "camera_loader.h"

#include <algorithm>
#include <cstdio>
#include <fstream>

namespace {

constexpr uint8_t soh = 0x01, stx = 0x02, eot = 0x04, ack = 0x06, nak = 0x15, can = 0x18, sub = 0x1A;
constexpr double prompt_after = 0.3;    // the loader is up this long after the user update
constexpr double poke_period = 1.0;     // a "C" this often until the first block comes
constexpr int poke_limit = 60;
constexpr double reboot_after = 0.2;    // "reboot" this long after the end of the transfer
constexpr double restart_after = 0.05;  // and the module restarts right after it
constexpr size_t line_limit = 64;

}  // namespace

uint16_t SimCameraLoader::crc16(const uint8_t *data, size_t count)
{
    uint16_t crc = 0;
    for (size_t i = 0; i < count; ++i) {
        crc ^= static_cast<uint16_t>(data[i]) << 8;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021) : static_cast<uint16_t>(crc << 1);
    }
    return crc;
}

void SimCameraLoader::enter(int client, double now)
{
    phase_ = Phase::starting;
    ++entries_;
    // With the reconnect fault the loader ignores the connection it came
    // up on and waits for a new one.
    talker_ = reconnect_ ? -1 : client;
    input_.clear();
    pending_.clear();
    prompt_due_ = talker_ >= 0 ? now + prompt_after : -1;
    poke_due_ = restart_due_ = -1;
}

void SimCameraLoader::connected(int client, double now)
{
    if ((phase_ != Phase::starting && phase_ != Phase::prompt) || talker_ >= 0)
        return;
    talker_ = client;
    input_.clear();
    prompt_due_ = now + 0.1;
}

void SimCameraLoader::disconnected(int client)
{
    if (client != talker_)
        return;
    talker_ = -1;
    input_.clear();
    if (phase_ == Phase::receiving)
        phase_ = Phase::prompt;  // the transfer is lost with its connection
}

void SimCameraLoader::say(const char *text, double now, double after)
{
    std::string line = text;
    pending_.push_back({now + after, {talker_, std::vector<uint8_t>(line.begin(), line.end())}});
}

void SimCameraLoader::receive(int client, const uint8_t *data, size_t count, double now)
{
    if (client != talker_ || silent_)
        return;
    input_.insert(input_.end(), data, data + count);
    if (phase_ == Phase::starting || phase_ == Phase::prompt) {
        for (;;) {
            auto end = std::find_if(input_.begin(), input_.end(), [](uint8_t c) { return c == '\r' || c == '\n'; });
            if (end == input_.end()) {
                if (input_.size() > line_limit)
                    input_.clear();
                return;
            }
            std::string line;
            for (auto c = input_.begin(); c != end; ++c)
                if (*c >= 0x20 && *c < 0x7F)
                    line += static_cast<char>(*c);
            input_.erase(input_.begin(), end + 1);
            if (line == "reprogram ( )" && phase_ == Phase::prompt) {
                say("receive\r\n", now);
                phase_ = Phase::receiving;
                expected_ = 1;
                image_.clear();
                poke_due_ = now + 0.05;
                pokes_ = 0;
                input_.clear();
                return;
            }
            if (line.empty() && phase_ == Phase::prompt)
                say("ready\r\n", now);  // the prompt again on a bare Enter
        }
    }
    if (phase_ == Phase::receiving)
        block(now);
}

// Takes what the input holds: blocks, the end, or a cancel by the sender.
void SimCameraLoader::block(double now)
{
    while (!input_.empty() && phase_ == Phase::receiving) {
        uint8_t first = input_[0];
        if (first == soh || first == stx) {
            size_t size = first == soh ? 128 : 1024;
            if (input_.size() < 3 + size + 2)
                return;
            poke_due_ = -1;
            const uint8_t *data = input_.data() + 3;
            uint16_t crc = static_cast<uint16_t>(data[size] << 8 | data[size + 1]);
            int number = input_[1];
            bool sound = (input_[1] ^ input_[2]) == 0xFF && crc16(data, size) == crc;
            uint8_t answer = ack;
            if (!sound) {
                ++crc_errors_;
                answer = nak;
            } else if (number == (expected_ & 0xFF) && nak_blocks_ > 0) {
                --nak_blocks_;
                answer = nak;
            } else if (number == (expected_ & 0xFF)) {
                image_.insert(image_.end(), data, data + size);
                ++blocks_;
                ++expected_;
            } else if (number != ((expected_ - 1) & 0xFF)) {  // not a repeat of the last one either
                ++sequence_errors_;
                pending_.push_back({now, {talker_, {can, can}}});
                phase_ = Phase::prompt;
                input_.clear();
                return;
            }
            if (answer == nak)
                ++naks_;
            pending_.push_back({now, {talker_, {answer}}});
            input_.erase(input_.begin(), input_.begin() + static_cast<long>(3 + size + 2));
        } else if (first == eot) {
            input_.erase(input_.begin());
            pending_.push_back({now, {talker_, {ack}}});
            finish(now);
        } else if (first == can) {
            if (input_.size() < 2)
                return;
            if (input_[1] == can) {
                ++cancels_;
                phase_ = Phase::prompt;
                input_.clear();
                return;
            }
            input_.erase(input_.begin());
        } else {
            input_.erase(input_.begin());  // noise between blocks
        }
    }
}

void SimCameraLoader::finish(double now)
{
    // The last block was padded to its size: the padding is no part of the image.
    size_t trimmed = 0;
    while (!image_.empty() && image_.back() == sub && trimmed < 1023) {
        image_.pop_back();
        ++trimmed;
    }
    image_bytes_ = static_cast<long long>(image_.size());
    if (!image_file_.empty())
        std::ofstream(image_file_, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char *>(image_.data()), static_cast<std::streamsize>(image_.size()));
    ++completed_;
    phase_ = Phase::rebooting;
    say("reboot\r\n", now, reboot_after);
    restart_due_ = now + reboot_after + restart_after;
}

bool SimCameraLoader::due(double now, std::vector<Send> &out)
{
    if (prompt_due_ >= 0 && now >= prompt_due_ && talker_ >= 0) {
        prompt_due_ = -1;
        phase_ = Phase::prompt;
        if (!silent_)
            say("ready\r\n", now);
    }
    if (phase_ == Phase::receiving && poke_due_ >= 0 && now >= poke_due_ && talker_ >= 0) {
        pending_.push_back({now, {talker_, {'C'}}});
        poke_due_ = ++pokes_ < poke_limit ? now + poke_period : -1;
    }
    std::stable_sort(pending_.begin(), pending_.end(), [](const Timed &a, const Timed &b) { return a.due < b.due; });
    size_t sent = 0;
    for (; sent < pending_.size() && pending_[sent].due <= now; ++sent)
        out.push_back(pending_[sent].send);
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(sent));
    if (restart_due_ >= 0 && now >= restart_due_ && pending_.empty()) {
        restart_due_ = -1;
        phase_ = Phase::off;
        talker_ = -1;
        return true;
    }
    return false;
}

double SimCameraLoader::next_due() const
{
    double next = -1;
    auto consider = [&next](double at) {
        if (at >= 0 && (next < 0 || at < next))
            next = at;
    };
    consider(talker_ >= 0 ? prompt_due_ : -1);
    consider(phase_ == Phase::receiving ? poke_due_ : -1);
    consider(restart_due_);
    for (const Timed &timed : pending_)
        consider(timed.due);
    return next;
}

bool SimCameraLoader::set_faults(json_object *faults, std::string *error)
{
    if (!faults || !json_object_is_type(faults, json_type_object)) {
        *error = "expected an object of faults";
        return false;
    }
    json_object_object_foreach(faults, key, value)
    {
        std::string name = key;
        if ((name == "silent" || name == "reconnect") && json_object_is_type(value, json_type_boolean))
            continue;
        if (name == "nak_blocks" && json_object_is_type(value, json_type_int) && json_object_get_int64(value) >= 0)
            continue;
        *error = "unknown fault or bad value: " + name + " (silent, reconnect: true/false; nak_blocks: a count)";
        return false;
    }
    json_object_object_foreach(faults, name, given)
    {
        std::string fault = name;
        if (fault == "silent")
            silent_ = json_object_get_boolean(given);
        else if (fault == "reconnect")
            reconnect_ = json_object_get_boolean(given);
        else
            nak_blocks_ = json_object_get_int64(given);
    }
    return true;
}

json_object *SimCameraLoader::describe() const
{
    static const char *const phases[] = {"off", "starting", "prompt", "receiving", "rebooting"};
    json_object *body = json_object_new_object();
    auto add = [body](const char *key, long long value) { json_object_object_add(body, key, json_object_new_int64(value)); };
    json_object_object_add(body, "phase", json_object_new_string(phases[static_cast<int>(phase_)]));
    add("entries", entries_);
    add("blocks", blocks_);
    add("naks", naks_);
    add("crc_errors", crc_errors_);
    add("sequence_errors", sequence_errors_);
    add("cancels", cancels_);
    add("completed", completed_);
    add("image_bytes", image_bytes_);
    json_object_object_add(body, "image_file", json_object_new_string(image_file_.c_str()));
    json_object *faults = json_object_new_object();
    json_object_object_add(faults, "silent", json_object_new_boolean(silent_));
    json_object_object_add(faults, "reconnect", json_object_new_boolean(reconnect_));
    json_object_object_add(faults, "nak_blocks", json_object_new_int64(nak_blocks_));
    json_object_object_add(body, "faults", faults);
    return body;
}
