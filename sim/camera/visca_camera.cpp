#include "visca_camera.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "camera_state.h"

namespace {

constexpr int optical_zoom_end = 0x4000;
constexpr int combined_zoom_end = 0x7AC0;
constexpr int digital_zoom_end = 0xEB;
constexpr int focus_far_end = 0x1000;

// Positions per second. Variable speeds run 0 (slow) to 7 (fast); the plain
// tele/wide/far/near commands use a middle speed; direct moves go fastest.
double zoom_rate(int speed) { return (speed + 1) * 1000.0; }
double focus_rate(int speed) { return (speed + 1) * 2500.0; }
double digital_zoom_rate(int speed) { return (speed + 1) * 20.0; }
constexpr int standard_speed = 3;
constexpr double zoom_direct_rate = 12000;
constexpr double focus_direct_rate = 40000;
constexpr double digital_zoom_direct_rate = 100;

constexpr uint8_t reply_header = 0x90;  // camera address 1
// Keeps the first notice after switching notices on behind the acknowledge.
constexpr double reply_gap = 1e-6;

bool nibbles_valid(const uint8_t *bytes, size_t count)
{
    return std::all_of(bytes, bytes + count, [](uint8_t b) { return b <= 0x0F; });
}

int nibbles(const uint8_t *bytes, size_t count)
{
    int value = 0;
    for (size_t i = 0; i < count; ++i)
        value = (value << 4) | bytes[i];
    return value;
}

void add_nibbles(std::vector<uint8_t> &bytes, int value, int count)
{
    for (int shift = 4 * (count - 1); shift >= 0; shift -= 4)
        bytes.push_back(static_cast<uint8_t>((value >> shift) & 0x0F));
}

const char *const white_balance_names[] = {
    "auto", "indoor", "outdoor", "one_push", "auto_tracing", "manual", "outdoor_auto",
    "sodium_lamp_auto", "sodium_lamp", "sodium_lamp_outdoor_auto",
};

// On/off commands end in 02 (on) or 03 (off).
bool switch_value(uint8_t byte, bool *value)
{
    if (byte != 0x02 && byte != 0x03)
        return false;
    *value = byte == 0x02;
    return true;
}

// Reset, up and down of a gain-like value.
bool step_value(uint8_t byte, int *value, int reset, int high)
{
    switch (byte) {
    case 0x00: *value = reset; return true;
    case 0x02: *value = std::min(*value + 1, high); return true;
    case 0x03: *value = std::max(*value - 1, 0); return true;
    default: return false;
    }
}

json_object *text(const std::string &value) { return json_object_new_string(value.c_str()); }

// Commands that move the lens, refused while it initialises.
bool lens_command(uint8_t code)
{
    switch (code) {
    case 0x06: case 0x07: case 0x08: case 0x19: case 0x46: case 0x47: case 0x48: return true;
    default: return false;
    }
}

}  // namespace

char sim_title_character(uint8_t code)
{
    if (code <= 0x19)
        return static_cast<char>('A' + code);
    if (code >= 0x1E && code <= 0x26)
        return static_cast<char>('1' + code - 0x1E);
    switch (code) {
    case 0x1A: return '&';
    case 0x1C: return '?';
    case 0x1D: return '!';
    case 0x27: return '0';
    case 0x41: return '$';
    case 0x49: return '"';
    case 0x4A: return ':';
    case 0x4B: return '\'';
    case 0x4C: return '.';
    case 0x4D: return ',';
    case 0x4E: return '/';
    case 0x4F: return '-';
    default: return ' ';
    }
}

bool SimViscaCamera::Axis::advance(double seconds)
{
    double before = position;
    if (target >= 0) {
        double step = rate * seconds;
        if (std::fabs(target - position) <= step) {
            position = target;
            stop();
        } else {
            position += target > position ? step : -step;
        }
    } else if (rate != 0) {
        position += rate * seconds;
        if (position <= low || position >= high) {
            position = std::clamp(position, low, high);
            stop();
        }
    }
    return position != before;
}

SimViscaCamera::SimViscaCamera()
{
    SimCameraView view = sim_camera_state().snapshot();
    power_ = view.power;
    zoom_.high = optical_zoom_end;
    zoom_.position = std::clamp(view.zoom_position, 0, optical_zoom_end);
    digital_zoom_.high = digital_zoom_end;
    digital_zoom_.position = std::clamp(view.digital_zoom, 0, digital_zoom_end);
    focus_.low = focus_far_end;
    focus_.high = settings_.focus_near_limit;
    focus_.position = std::clamp(view.focus_position, focus_far_end, settings_.focus_near_limit);
    publish();
}

void SimViscaCamera::set_delays(double ack_seconds, double completion_seconds)
{
    ack_delay_ = std::max(0.0, ack_seconds);
    completion_delay_ = std::max(0.0, completion_seconds);
}

void SimViscaCamera::set_version(int model_code, int rom_version)
{
    model_code_ = model_code & 0xFFFF;
    rom_version_ = rom_version & 0xFFFF;
}

void SimViscaCamera::set_positions(int zoom, int focus)
{
    if (zoom >= 0) {
        zoom_.stop();
        zoom_.position = std::clamp<double>(zoom, 0, zoom_.high);
    }
    if (focus >= 0) {
        focus_.stop();
        focus_.position = std::clamp<double>(focus, focus_.low, focus_.high);
    }
    publish();
}

bool SimViscaCamera::moving() const { return zoom_.busy() || focus_.busy() || digital_zoom_.busy(); }

void SimViscaCamera::clear_sockets()
{
    for (Socket &socket : sockets_)
        socket = Socket{};
}

void SimViscaCamera::power_up(double now)
{
    ++power_ups_;
    power_ = true;
    settings_ = Settings{};
    notified_zoom_ = notified_digital_zoom_ = notified_focus_ = -1;
    clear_sockets();
    limit_zoom();
    focus_.high = settings_.focus_near_limit;
    digital_zoom_.stop();
    digital_zoom_.position = 0;
    // The lens runs to wide and far within the initialisation time.
    double seconds = lens_initialisation_;
    initialised_at_ = now + seconds;
    if (seconds > 0) {
        zoom_.move_to(0, std::max(1.0, zoom_.position / seconds));
        focus_.move_to(focus_far_end, std::max(1.0, (focus_.position - focus_far_end) / seconds));
    } else {
        zoom_.stop();
        focus_.stop();
        zoom_.position = 0;
        focus_.position = focus_far_end;
    }
    {
        SimCameraState &state = sim_camera_state();
        std::lock_guard<std::mutex> hold(state.lock);
        for (SimTitleLine &title : state.view.titles)
            title = SimTitleLine{};
    }
    publish();
}

void SimViscaCamera::complete_arrivals(double now, std::vector<SimViscaOutput> &out)
{
    for (int number = 1; number <= 2; ++number) {
        Socket &socket = sockets_[number];
        if (!socket.awaiting())
            continue;
        bool zoom_on_its_way = socket.awaits_zoom && zoom_.busy() && zoom_.moves == socket.zoom_move;
        bool focus_on_its_way = socket.awaits_focus && focus_.busy() && focus_.moves == socket.focus_move;
        if (zoom_on_its_way || focus_on_its_way)
            continue;
        double completed = std::max(now, socket.acknowledged);
        out.push_back({completed, SimReplyKind::completion,
                       {reply_header, static_cast<uint8_t>(0x50 | number), 0xFF}, socket.owner});
        socket = Socket{};
        socket.busy_until = completed;
    }
}

void SimViscaCamera::answer(double now, std::vector<uint8_t> bytes, std::vector<SimViscaOutput> &out) const
{
    bytes.insert(bytes.begin(), {reply_header, 0x50});
    bytes.push_back(0xFF);
    out.push_back({now + ack_delay_, SimReplyKind::answer, std::move(bytes)});
}

void SimViscaCamera::error(double now, int socket, int code, std::vector<SimViscaOutput> &out) const
{
    out.push_back({now + ack_delay_, SimReplyKind::error,
                   {reply_header, static_cast<uint8_t>(0x60 | socket), static_cast<uint8_t>(code), 0xFF}});
}

bool SimViscaCamera::handle(const std::vector<uint8_t> &packet, double now, std::vector<SimViscaOutput> &out,
                            int owner)
{
    advance(now, out);
    size_t length = packet.size();
    if (length > 16) {
        error(now, 0, 0x01, out);  // message length error
        return false;
    }
    if (length < 3 || packet.back() != 0xFF) {
        error(now, 0, 0x02, out);
        return false;
    }
    const uint8_t *body = packet.data() + 1;
    size_t n = length - 2;
    if (packet[0] == 0x88) {  // broadcast: address set and interface clear
        if (n == 2 && body[0] == 0x30 && body[1] == 0x01)
            out.push_back({now, SimReplyKind::answer, {0x88, 0x30, 0x02, 0xFF}});
        else if (n == 3 && body[0] == 0x01 && body[1] == 0x00 && body[2] == 0x01) {
            clear_sockets();
            out.push_back({now, SimReplyKind::answer, {0x88, 0x01, 0x00, 0x01, 0xFF}});
            return true;
        }
        return false;
    }
    if (packet[0] != 0x81)  // for another camera on the chain
        return false;
    if (n == 3 && body[0] == 0x01 && body[1] == 0x00 && body[2] == 0x01) {
        clear_sockets();
        answer(now, {}, out);
        return true;
    }
    if (n == 1 && (body[0] & 0xF0) == 0x20) {  // cancel the command in a socket
        int socket = body[0] & 0x0F;
        bool busy = (socket == 1 || socket == 2) && sockets_[socket].busy_until > now;
        error(now, socket, busy ? 0x04 : 0x05, out);
        return false;
    }
    if (n >= 1 && body[0] == 0x09) {
        if (!inquiry(body + 1, n - 1, now, out))
            error(now, 0, 0x02, out);
        return false;
    }
    if (n < 3 || body[0] != 0x01 || body[1] != 0x04) {
        error(now, 0, 0x02, out);
        return false;
    }
    const uint8_t *c = body + 2;
    size_t count = n - 2;
    bool power_command = c[0] == 0x00;
    if (!power_ && !power_command) {
        error(now, 0, 0x41, out);  // not executable while the camera is off
        return false;
    }
    if (initialising(now) && lens_command(c[0])) {
        error(now, 0, 0x41, out);  // the lens is still initialising
        return false;
    }
    int socket = sockets_[1].busy_until <= now ? 1 : sockets_[2].busy_until <= now ? 2 : 0;
    if (socket == 0) {
        error(now, 0, 0x03, out);  // buffer full
        return false;
    }
    awaits_zoom_ = awaits_focus_ = false;
    if (!command(c, count, now, out)) {
        error(now, 0, 0x02, out);
        return false;
    }
    double acknowledged = now + ack_delay_;
    out.push_back({acknowledged, SimReplyKind::acknowledge, {reply_header, static_cast<uint8_t>(0x40 | socket), 0xFF}});
    Socket &held = sockets_[socket];
    if (awaits_zoom_ || awaits_focus_) {
        held = {std::numeric_limits<double>::infinity(), awaits_zoom_, awaits_focus_, zoom_.moves, focus_.moves,
                acknowledged, owner};
        return false;
    }
    double completed = acknowledged + completion_delay_;
    held = Socket{};
    held.busy_until = completed;
    out.push_back({completed, SimReplyKind::completion, {reply_header, static_cast<uint8_t>(0x50 | socket), 0xFF}});
    return false;
}

bool SimViscaCamera::inquiry(const uint8_t *q, size_t n, double now, std::vector<SimViscaOutput> &out)
{
    std::vector<uint8_t> data;
    if (n == 2 && q[0] == 0x00 && q[1] == 0x02) {  // version
        data = {0x00, 0x20, static_cast<uint8_t>(model_code_ >> 8), static_cast<uint8_t>(model_code_ & 0xFF),
                static_cast<uint8_t>(rom_version_ >> 8), static_cast<uint8_t>(rom_version_ & 0xFF), 0x02};
    } else if (n == 2 && q[0] == 0x04 && q[1] == 0x00) {
        data = {static_cast<uint8_t>(power_ ? 0x02 : 0x03)};
    } else if (n == 2 && q[0] == 0x04 && q[1] == 0x47) {
        add_nibbles(data, static_cast<int>(zoom_.position), 4);
    } else if (n == 2 && q[0] == 0x04 && q[1] == 0x48) {
        add_nibbles(data, static_cast<int>(focus_.position), 4);
    } else if (n == 2 && q[0] == 0x04 && q[1] == 0x46) {
        data = {0x00, 0x00};
        add_nibbles(data, static_cast<int>(digital_zoom_.position), 2);
    } else if (n == 2 && q[0] == 0x04 && q[1] == 0x38) {
        data = {static_cast<uint8_t>(settings_.focus_mode == "auto" ? 0x02 : 0x03)};
    } else {
        return false;
    }
    answer(now, std::move(data), out);
    return true;
}

void SimViscaCamera::limit_zoom()
{
    zoom_.high = settings_.digital_zoom_on && !settings_.digital_zoom_separate ? combined_zoom_end : optical_zoom_end;
    if (zoom_.position > zoom_.high)
        zoom_.position = zoom_.high;
    if (zoom_.target > zoom_.high)
        zoom_.target = zoom_.high;
}

bool SimViscaCamera::command(const uint8_t *c, size_t n, double now, std::vector<SimViscaOutput> &out)
{
    uint8_t code = c[0];
    uint8_t arg = n >= 2 ? c[1] : 0xFF;
    bool flag;
    if (n == 2) {
        int speed = arg & 0x0F;
        switch (code) {
        case 0x00:
            // The steps that prepare the module for a firmware update; the
            // last one hands it over to its loader.
            if (arg == 0x0C || arg == 0x0D || arg == 0x13 || arg == 0x04 || arg == 0x20) {
                loader_requested_ = arg == 0x20;
                break;
            }
            if (!switch_value(arg, &power_))
                return false;
            if (!power_) {
                zoom_.stop();
                focus_.stop();
                digital_zoom_.stop();
            }
            break;
        case 0x19:
            if (arg == 0x01) {
                ++lens_initialisations_;
                zoom_.move_to(0, zoom_direct_rate);
                focus_.move_to(focus_far_end, focus_direct_rate);
            } else if (arg == 0x03) {
                ++camera_initialisations_;
            } else {
                return false;
            }
            break;
        case 0x07:
            if (arg == 0x00)
                zoom_.stop();
            else if (arg == 0x02 || arg == 0x03)
                zoom_.run((arg == 0x02 ? 1 : -1) * zoom_rate(standard_speed));
            else if ((arg & 0xF0) == 0x20 || (arg & 0xF0) == 0x30)
                zoom_.run(((arg & 0xF0) == 0x20 ? 1 : -1) * zoom_rate(speed & 0x07));
            else
                return false;
            break;
        case 0x69:
            if (!switch_value(arg, &settings_.zoom_notices))
                return false;
            if (settings_.zoom_notices)
                notices(out, now + ack_delay_ + reply_gap, true, false);
            break;
        case 0x16:
            if (!switch_value(arg, &settings_.focus_notices))
                return false;
            if (settings_.focus_notices)
                notices(out, now + ack_delay_ + reply_gap, false, true);
            break;
        case 0x06:
            if (arg == 0x00) {
                digital_zoom_.stop();
            } else if (switch_value(arg, &flag)) {
                settings_.digital_zoom_on = flag;
                limit_zoom();
            } else if ((arg & 0xF0) == 0x20 || (arg & 0xF0) == 0x30) {
                digital_zoom_.run(((arg & 0xF0) == 0x20 ? 1 : -1) * digital_zoom_rate(speed & 0x07));
            } else {
                return false;
            }
            break;
        case 0x36:
            if (arg > 0x01)
                return false;
            settings_.digital_zoom_separate = arg == 0x01;
            limit_zoom();
            break;
        case 0x08:
            // Far is towards infinity, the low end of the focus range.
            if (arg == 0x00)
                focus_.stop();
            else if (arg == 0x02 || arg == 0x03)
                focus_.run((arg == 0x02 ? -1 : 1) * focus_rate(standard_speed));
            else if ((arg & 0xF0) == 0x20 || (arg & 0xF0) == 0x30)
                focus_.run(((arg & 0xF0) == 0x20 ? -1 : 1) * focus_rate(speed & 0x07));
            else
                return false;
            break;
        case 0x38:
            if (arg != 0x02 && arg != 0x03)
                return false;
            settings_.focus_mode = arg == 0x02 ? "auto" : "manual";
            break;
        case 0x18:
            if (arg != 0x01 && arg != 0x03)
                return false;
            ++af_triggers_;
            break;
        case 0x58:
            if (arg != 0x02 && arg != 0x03)
                return false;
            settings_.af_sensitivity = arg == 0x02 ? "normal" : "low";
            break;
        case 0x57:
            if (arg > 0x02)
                return false;
            settings_.af_mode = arg == 0x00 ? "normal" : arg == 0x01 ? "interval" : "zoom_trigger";
            break;
        case 0x11:
            if (arg > 0x01)
                return false;
            settings_.ir_correction = arg == 0x00 ? "standard" : "ir_light";
            break;
        case 0x35:
            if (arg > 0x09)
                return false;
            settings_.white_balance = white_balance_names[arg];
            break;
        case 0x10:
            if (arg != 0x05)
                return false;
            ++one_push_triggers_;
            break;
        case 0x03: return step_value(arg, &settings_.red_gain, 0x80, 0xFF);
        case 0x04: return step_value(arg, &settings_.blue_gain, 0x80, 0xFF);
        case 0x0C: return step_value(arg, &settings_.gain, 0x00, 0x0F);
        case 0x0B: return step_value(arg, &settings_.iris, 0x0D, 0x11);
        case 0x0A: return step_value(arg, &settings_.shutter, 0x0C, 0x15);
        case 0x39:
            switch (arg) {
            case 0x00: settings_.exposure_mode = "auto"; break;
            case 0x03: settings_.exposure_mode = "manual"; break;
            case 0x0A: settings_.exposure_mode = "shutter_priority"; break;
            case 0x0B: settings_.exposure_mode = "iris_priority"; break;
            default: return false;
            }
            break;
        case 0x66: return switch_value(arg, &settings_.flip);
        case 0x34: return switch_value(arg, &settings_.stabilizer);
        case 0x5E: return switch_value(arg, &settings_.high_sensitivity);
        case 0x01: return switch_value(arg, &settings_.icr);
        case 0x51: return switch_value(arg, &settings_.auto_icr);
        case 0x74: return title_command(c, n);
        default: return false;
        }
        publish();
        return true;
    }
    if (n == 3 && code == 0x37) {
        if (arg == 0x03 && c[2] == 0x00)
            settings_.defog = 0;
        else if (arg == 0x02 && c[2] >= 0x01 && c[2] <= 0x03)
            settings_.defog = c[2];
        else
            return false;
        return true;
    }
    if (n == 5 && nibbles_valid(c + 1, 4)) {
        int position = nibbles(c + 1, 4);
        switch (code) {
        case 0x47:
            zoom_.move_to(position, zoom_direct_rate);
            awaits_zoom_ = true;
            return true;
        case 0x48:
            focus_.move_to(position, focus_direct_rate);
            awaits_focus_ = true;
            return true;
        case 0x28:
            settings_.focus_near_limit = std::max(position, focus_far_end);
            focus_.high = settings_.focus_near_limit;
            focus_.position = std::min(focus_.position, focus_.high);
            return true;
        default: break;
        }
        if (c[1] != 0x00 || c[2] != 0x00)
            return false;
        int value = nibbles(c + 3, 2);
        switch (code) {
        case 0x46: digital_zoom_.move_to(value, digital_zoom_direct_rate); return true;
        case 0x43: settings_.red_gain = value; return true;
        case 0x44: settings_.blue_gain = value; return true;
        case 0x4C: settings_.gain = std::min(value, 0x0F); return true;
        case 0x4B: settings_.iris = std::min(value, 0x11); return true;
        case 0x4A: settings_.shutter = std::min(value, 0x15); return true;
        default: return false;
        }
    }
    if (n == 9 && code == 0x47 && nibbles_valid(c + 1, 8)) {
        zoom_.move_to(nibbles(c + 1, 4), zoom_direct_rate);
        focus_.move_to(nibbles(c + 5, 4), focus_direct_rate);
        awaits_zoom_ = awaits_focus_ = true;
        return true;
    }
    if (n == 12 && code == 0x73)
        return title_command(c, n);
    return false;
}

bool SimViscaCamera::title_command(const uint8_t *c, size_t n)
{
    SimCameraState &state = sim_camera_state();
    std::lock_guard<std::mutex> hold(state.lock);
    auto &titles = state.view.titles;
    int kind = c[1] >> 4;
    size_t line = c[1] & 0x0F;
    if (n == 2) {
        if (line == 0x0F) {
            for (SimTitleLine &title : titles) {
                if (kind == 1)
                    title = SimTitleLine{};
                else if (kind == 2 || kind == 3)
                    title.shown = kind == 2;
            }
            return kind >= 1 && kind <= 3;
        }
        if (line >= titles.size())
            return false;
        switch (kind) {
        case 1: titles[line] = SimTitleLine{}; return true;
        case 2: titles[line].shown = true; return true;
        case 3: titles[line].shown = false; return true;
        default: return false;
        }
    }
    if (line >= titles.size())
        return false;
    SimTitleLine &title = titles[line];
    if (kind == 1) {
        title.h_position = c[3];
        title.color = c[4];
        title.blink = c[5] != 0;
        return true;
    }
    if (kind == 2 || kind == 3) {
        title.text.resize(20, ' ');
        for (size_t i = 0; i < 10; ++i)
            title.text[(kind == 2 ? 0 : 10) + i] = sim_title_character(c[2 + i]);
        return true;
    }
    return false;
}

void SimViscaCamera::advance(double now, std::vector<SimViscaOutput> &out)
{
    if (last_advance_ < 0)
        last_advance_ = now;
    double seconds = now - last_advance_;
    last_advance_ = now;
    if (seconds > 0) {
        bool changed = zoom_.advance(seconds);
        changed = focus_.advance(seconds) || changed;
        changed = digital_zoom_.advance(seconds) || changed;
        if (changed)
            publish();
    }
    complete_arrivals(now, out);
    notices(out, now, false, false);
}

void SimViscaCamera::notices(std::vector<SimViscaOutput> &out, double now, bool force_zoom, bool force_focus)
{
    int zoom = static_cast<int>(zoom_.position);
    int digital = settings_.digital_zoom_separate ? static_cast<int>(digital_zoom_.position) : 0;
    int focus = static_cast<int>(focus_.position);
    if (settings_.zoom_notices && (force_zoom || zoom != notified_zoom_ || digital != notified_digital_zoom_)) {
        std::vector<uint8_t> bytes = {reply_header, 0x07, 0x04, 0x69};
        add_nibbles(bytes, digital, 2);
        add_nibbles(bytes, zoom, 4);
        bytes.push_back(0xFF);
        out.push_back({now, SimReplyKind::notice, std::move(bytes)});
        notified_zoom_ = zoom;
        notified_digital_zoom_ = digital;
    }
    if (settings_.focus_notices && (force_focus || focus != notified_focus_)) {
        std::vector<uint8_t> bytes = {reply_header, 0x07, 0x04, 0x16, 0x00, 0x00};
        add_nibbles(bytes, focus, 4);
        bytes.push_back(0xFF);
        out.push_back({now, SimReplyKind::notice, std::move(bytes)});
        notified_focus_ = focus;
    }
}

void SimViscaCamera::publish()
{
    SimCameraState &state = sim_camera_state();
    std::lock_guard<std::mutex> hold(state.lock);
    state.view.power = power_;
    state.view.zoom_position = static_cast<int>(zoom_.position);
    state.view.digital_zoom = static_cast<int>(digital_zoom_.position);
    state.view.focus_position = static_cast<int>(focus_.position);
}

json_object *SimViscaCamera::describe(double now) const
{
    json_object *body = json_object_new_object();
    auto add = [body](const char *key, json_object *value) { json_object_object_add(body, key, value); };
    add("initialising", json_object_new_boolean(initialising(now)));
    add("power_ups", json_object_new_int(power_ups_));
    add("lens_initialisation_ms", json_object_new_int(static_cast<int>(lens_initialisation_ * 1000)));
    add("zoom_notices", json_object_new_boolean(settings_.zoom_notices));
    add("focus_notices", json_object_new_boolean(settings_.focus_notices));
    add("zoom_moving", json_object_new_boolean(zoom_.busy()));
    add("focus_moving", json_object_new_boolean(focus_.busy()));
    add("digital_zoom_on", json_object_new_boolean(settings_.digital_zoom_on));
    add("digital_zoom_mode", text(settings_.digital_zoom_separate ? "separate" : "combine"));
    add("focus_mode", text(settings_.focus_mode));
    add("af_sensitivity", text(settings_.af_sensitivity));
    add("af_mode", text(settings_.af_mode));
    add("af_triggers", json_object_new_int(af_triggers_));
    add("ir_correction", text(settings_.ir_correction));
    add("focus_near_limit", json_object_new_int(settings_.focus_near_limit));
    add("white_balance", text(settings_.white_balance));
    add("one_push_triggers", json_object_new_int(one_push_triggers_));
    add("red_gain", json_object_new_int(settings_.red_gain));
    add("blue_gain", json_object_new_int(settings_.blue_gain));
    add("gain", json_object_new_int(settings_.gain));
    add("iris", json_object_new_int(settings_.iris));
    add("shutter", json_object_new_int(settings_.shutter));
    add("exposure_mode", text(settings_.exposure_mode));
    add("picture_flip", json_object_new_boolean(settings_.flip));
    add("stabilizer", json_object_new_boolean(settings_.stabilizer));
    add("high_sensitivity", json_object_new_boolean(settings_.high_sensitivity));
    add("icr", json_object_new_boolean(settings_.icr));
    add("auto_icr", json_object_new_boolean(settings_.auto_icr));
    add("defog", json_object_new_int(settings_.defog));
    add("model_code", json_object_new_int(model_code_));
    add("rom_version", json_object_new_int(rom_version_));
    add("lens_initialisations", json_object_new_int(lens_initialisations_));
    add("camera_initialisations", json_object_new_int(camera_initialisations_));
    return body;
}
