#include "camera/visca_commands.h"

#include <array>
#include <initializer_list>

#include "camera/visca_connection.h"

namespace {

constexpr uint8_t title_blank = 0x1B;

constexpr std::array<uint8_t, 256> make_title_codes()
{
    std::array<uint8_t, 256> codes{};
    for (uint8_t &code : codes)
        code = title_blank;
    for (int letter = 0; letter < 26; ++letter) {
        codes['A' + letter] = static_cast<uint8_t>(letter);
        codes['a' + letter] = static_cast<uint8_t>(letter);
    }
    for (int digit = 1; digit <= 9; ++digit)
        codes['0' + digit] = static_cast<uint8_t>(0x1E + digit - 1);
    codes['0'] = 0x27;
    codes['&'] = 0x1A;
    codes['?'] = 0x1C;
    codes['!'] = 0x1D;
    codes['$'] = 0x41;
    codes['"'] = 0x49;
    codes[':'] = 0x4A;
    codes['\''] = 0x4B;
    codes['.'] = 0x4C;
    codes[','] = 0x4D;
    codes['/'] = 0x4E;
    codes['-'] = 0x4F;
    return codes;
}

constexpr std::array<uint8_t, 256> title_codes = make_title_codes();

// A packet being built: header, command bytes, terminator.
class Packet {
public:
    Packet(const visca_camera *camera, std::initializer_list<int> bytes)
    {
        add(0x80 | (camera->address & 0x07));
        for (int byte : bytes)
            add(byte);
    }
    Packet &add(int byte)
    {
        if (length_ < VISCA_PACKET_MAX - 1)
            bytes_[length_++] = static_cast<uint8_t>(byte);
        return *this;
    }
    // The low bits of value, four at a time, most significant first, each in
    // the low nibble of its own byte.
    Packet &add_nibbles(int value, int count)
    {
        for (int shift = 4 * (count - 1); shift >= 0; shift -= 4)
            add((value >> shift) & 0x0F);
        return *this;
    }
    int queue(visca_camera *camera)
    {
        bytes_[length_++] = 0xFF;
        return visca_camera_queue_command(camera, bytes_.data(), length_);
    }

private:
    std::array<uint8_t, VISCA_PACKET_MAX> bytes_{};
    size_t length_ = 0;
};

// 8x 01 04 <bytes> FF
int command(visca_camera *camera, std::initializer_list<int> bytes)
{
    if (!camera)
        return -1;
    Packet packet(camera, {0x01, 0x04});
    for (int byte : bytes)
        packet.add(byte);
    return packet.queue(camera);
}

// 8x 01 04 <code> 0p 0q 0r 0s FF
int position_command(visca_camera *camera, int code, int position)
{
    if (!camera)
        return -1;
    return Packet(camera, {0x01, 0x04, code}).add_nibbles(position, 4).queue(camera);
}

// 8x 01 04 <code> 00 00 0p 0q FF
int value_command(visca_camera *camera, int code, int value)
{
    if (!camera)
        return -1;
    return Packet(camera, {0x01, 0x04, code, 0x00, 0x00}).add_nibbles(value, 2).queue(camera);
}

int title_text(visca_camera *camera, int kind, int line, const char *text)
{
    if (!camera)
        return -1;
    Packet packet(camera, {0x01, 0x04, 0x73, kind | (line & 0x0F)});
    int taken = 0;
    for (; text && taken < 10 && text[taken] != '\0'; ++taken)
        packet.add(title_codes[static_cast<unsigned char>(text[taken])]);
    for (; taken < 10; ++taken)
        packet.add(title_blank);
    return packet.queue(camera);
}

}  // namespace

uint8_t visca_title_code(unsigned char character) { return title_codes[character]; }

int visca_camera_power_on(visca_camera *camera) { return command(camera, {0x00, 0x02}); }
int visca_camera_power_off(visca_camera *camera) { return command(camera, {0x00, 0x03}); }

int visca_camera_version_inq(visca_camera *camera)
{
    if (!camera)
        return -1;
    return Packet(camera, {0x09, 0x00, 0x02}).queue(camera);
}

int visca_camera_initialize_lens(visca_camera *camera) { return command(camera, {0x19, 0x01}); }
int visca_camera_initialize_camera(visca_camera *camera) { return command(camera, {0x19, 0x03}); }

int visca_camera_zoom_stop(visca_camera *camera) { return command(camera, {0x07, 0x00}); }
int visca_camera_zoom_tele(visca_camera *camera) { return command(camera, {0x07, 0x02}); }
int visca_camera_zoom_wide(visca_camera *camera) { return command(camera, {0x07, 0x03}); }
int visca_camera_zoom_tele_variable(visca_camera *camera, int speed) { return command(camera, {0x07, 0x20 | (speed & 0x0F)}); }
int visca_camera_zoom_wide_variable(visca_camera *camera, int speed) { return command(camera, {0x07, 0x30 | (speed & 0x0F)}); }
int visca_camera_zoom_direct(visca_camera *camera, int position) { return position_command(camera, 0x47, position); }

int visca_camera_zoom_focus_direct(visca_camera *camera, int zoom_position, int focus_position)
{
    if (!camera)
        return -1;
    return Packet(camera, {0x01, 0x04, 0x47})
        .add_nibbles(zoom_position, 4)
        .add_nibbles(focus_position, 4)
        .queue(camera);
}

int visca_camera_continuous_zoom_position_on(visca_camera *camera) { return command(camera, {0x69, 0x02}); }
int visca_camera_continuous_zoom_position_off(visca_camera *camera) { return command(camera, {0x69, 0x03}); }

int visca_camera_digital_zoom_on(visca_camera *camera) { return command(camera, {0x06, 0x02}); }
int visca_camera_digital_zoom_off(visca_camera *camera) { return command(camera, {0x06, 0x03}); }
int visca_camera_digital_zoom_stop(visca_camera *camera) { return command(camera, {0x06, 0x00}); }
int visca_camera_digital_zoom_combine_mode(visca_camera *camera) { return command(camera, {0x36, 0x00}); }
int visca_camera_digital_zoom_separate_mode(visca_camera *camera) { return command(camera, {0x36, 0x01}); }
int visca_camera_digital_zoom_tele_variable(visca_camera *camera, int speed) { return command(camera, {0x06, 0x20 | (speed & 0x07)}); }
int visca_camera_digital_zoom_wide_variable(visca_camera *camera, int speed) { return command(camera, {0x06, 0x30 | (speed & 0x07)}); }
int visca_camera_digital_zoom_direct(visca_camera *camera, int position) { return value_command(camera, 0x46, position); }

int visca_camera_focus_stop(visca_camera *camera) { return command(camera, {0x08, 0x00}); }
int visca_camera_focus_far(visca_camera *camera) { return command(camera, {0x08, 0x02}); }
int visca_camera_focus_near(visca_camera *camera) { return command(camera, {0x08, 0x03}); }
int visca_camera_focus_far_variable(visca_camera *camera, int speed) { return command(camera, {0x08, 0x20 | (speed & 0x07)}); }
int visca_camera_focus_near_variable(visca_camera *camera, int speed) { return command(camera, {0x08, 0x30 | (speed & 0x07)}); }
int visca_camera_focus_direct(visca_camera *camera, int position) { return position_command(camera, 0x48, position); }
int visca_camera_focus_near_limit(visca_camera *camera, int position) { return position_command(camera, 0x28, position); }
int visca_camera_auto_focus(visca_camera *camera) { return command(camera, {0x38, 0x02}); }
int visca_camera_manual_focus(visca_camera *camera) { return command(camera, {0x38, 0x03}); }
int visca_camera_auto_focus_trigger(visca_camera *camera) { return command(camera, {0x18, 0x01}); }
int visca_camera_auto_focus_trigger_full_scan(visca_camera *camera) { return command(camera, {0x18, 0x03}); }
int visca_camera_auto_focus_sensitivity_normal(visca_camera *camera) { return command(camera, {0x58, 0x02}); }
int visca_camera_auto_focus_sensitivity_low(visca_camera *camera) { return command(camera, {0x58, 0x03}); }
int visca_camera_auto_focus_mode_normal(visca_camera *camera) { return command(camera, {0x57, 0x00}); }
int visca_camera_auto_focus_mode_interval(visca_camera *camera) { return command(camera, {0x57, 0x01}); }
int visca_camera_auto_focus_mode_zoom_trigger(visca_camera *camera) { return command(camera, {0x57, 0x02}); }
int visca_camera_ir_correction_standard(visca_camera *camera) { return command(camera, {0x11, 0x00}); }
int visca_camera_ir_correction_ir_light(visca_camera *camera) { return command(camera, {0x11, 0x01}); }
int visca_camera_continuous_focus_position_on(visca_camera *camera) { return command(camera, {0x16, 0x02}); }
int visca_camera_continuous_focus_position_off(visca_camera *camera) { return command(camera, {0x16, 0x03}); }

int visca_camera_white_balance_auto(visca_camera *camera) { return command(camera, {0x35, 0x00}); }
int visca_camera_white_balance_indoor(visca_camera *camera) { return command(camera, {0x35, 0x01}); }
int visca_camera_white_balance_outdoor(visca_camera *camera) { return command(camera, {0x35, 0x02}); }
int visca_camera_white_balance_one_push(visca_camera *camera) { return command(camera, {0x35, 0x03}); }
int visca_camera_white_balance_auto_tracing(visca_camera *camera) { return command(camera, {0x35, 0x04}); }
int visca_camera_white_balance_manual(visca_camera *camera) { return command(camera, {0x35, 0x05}); }
int visca_camera_white_balance_outdoor_auto(visca_camera *camera) { return command(camera, {0x35, 0x06}); }
int visca_camera_white_balance_sodium_lamp_auto(visca_camera *camera) { return command(camera, {0x35, 0x07}); }
int visca_camera_white_balance_sodium_lamp(visca_camera *camera) { return command(camera, {0x35, 0x08}); }
int visca_camera_white_balance_sodium_lamp_outdoor_auto(visca_camera *camera) { return command(camera, {0x35, 0x09}); }
int visca_camera_white_balance_one_push_trigger(visca_camera *camera) { return command(camera, {0x10, 0x05}); }

int visca_camera_red_gain_reset(visca_camera *camera) { return command(camera, {0x03, 0x00}); }
int visca_camera_red_gain_up(visca_camera *camera) { return command(camera, {0x03, 0x02}); }
int visca_camera_red_gain_down(visca_camera *camera) { return command(camera, {0x03, 0x03}); }
int visca_camera_red_gain_direct(visca_camera *camera, int value) { return value_command(camera, 0x43, value); }
int visca_camera_blue_gain_reset(visca_camera *camera) { return command(camera, {0x04, 0x00}); }
int visca_camera_blue_gain_up(visca_camera *camera) { return command(camera, {0x04, 0x02}); }
int visca_camera_blue_gain_down(visca_camera *camera) { return command(camera, {0x04, 0x03}); }
int visca_camera_blue_gain_direct(visca_camera *camera, int value) { return value_command(camera, 0x44, value); }
int visca_camera_gain_reset(visca_camera *camera) { return command(camera, {0x0C, 0x00}); }
int visca_camera_gain_up(visca_camera *camera) { return command(camera, {0x0C, 0x02}); }
int visca_camera_gain_down(visca_camera *camera) { return command(camera, {0x0C, 0x03}); }
int visca_camera_gain_direct(visca_camera *camera, int value) { return value_command(camera, 0x4C, value); }
int visca_camera_iris_reset(visca_camera *camera) { return command(camera, {0x0B, 0x00}); }
int visca_camera_iris_up(visca_camera *camera) { return command(camera, {0x0B, 0x02}); }
int visca_camera_iris_down(visca_camera *camera) { return command(camera, {0x0B, 0x03}); }
int visca_camera_iris_direct(visca_camera *camera, int value) { return value_command(camera, 0x4B, value); }
int visca_camera_shutter_reset(visca_camera *camera) { return command(camera, {0x0A, 0x00}); }
int visca_camera_shutter_up(visca_camera *camera) { return command(camera, {0x0A, 0x02}); }
int visca_camera_shutter_down(visca_camera *camera) { return command(camera, {0x0A, 0x03}); }
int visca_camera_shutter_direct(visca_camera *camera, int value) { return value_command(camera, 0x4A, value); }

int visca_camera_exposure_mode_auto(visca_camera *camera) { return command(camera, {0x39, 0x00}); }
int visca_camera_exposure_mode_manual(visca_camera *camera) { return command(camera, {0x39, 0x03}); }
int visca_camera_exposure_mode_shutter_priority(visca_camera *camera) { return command(camera, {0x39, 0x0A}); }
int visca_camera_exposure_mode_iris_priority(visca_camera *camera) { return command(camera, {0x39, 0x0B}); }
int visca_camera_picture_flip_on(visca_camera *camera) { return command(camera, {0x66, 0x02}); }
int visca_camera_picture_flip_off(visca_camera *camera) { return command(camera, {0x66, 0x03}); }
int visca_camera_stabilizer_on(visca_camera *camera) { return command(camera, {0x34, 0x02}); }
int visca_camera_stabilizer_off(visca_camera *camera) { return command(camera, {0x34, 0x03}); }
int visca_camera_high_sensitivity_on(visca_camera *camera) { return command(camera, {0x5E, 0x02}); }
int visca_camera_high_sensitivity_off(visca_camera *camera) { return command(camera, {0x5E, 0x03}); }
int visca_camera_icr_on(visca_camera *camera) { return command(camera, {0x01, 0x02}); }
int visca_camera_icr_off(visca_camera *camera) { return command(camera, {0x01, 0x03}); }
int visca_camera_auto_icr_on(visca_camera *camera) { return command(camera, {0x51, 0x02}); }
int visca_camera_auto_icr_off(visca_camera *camera) { return command(camera, {0x51, 0x03}); }
int visca_camera_defog_off(visca_camera *camera) { return command(camera, {0x37, 0x03, 0x00}); }
int visca_camera_defog_level(visca_camera *camera, int level) { return command(camera, {0x37, 0x02, level & 0x0F}); }

int visca_camera_title_set_1(visca_camera *camera, int line, int position, int color, int blink)
{
    // A parameter byte of 0xFF would end the packet early on the camera's
    // side and the rest would be read as a command of its own.
    for (int value : {position, color, blink})
        if ((value & 0xFF) == 0xFF)
            return -1;
    return command(camera, {0x73, 0x10 | (line & 0x0F), 0x00, position & 0xFF, color & 0xFF, blink & 0xFF,
                            0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
}

int visca_camera_title_set_2(visca_camera *camera, int line, const char *text) { return title_text(camera, 0x20, line, text); }
int visca_camera_title_set_3(visca_camera *camera, int line, const char *text) { return title_text(camera, 0x30, line, text); }
int visca_camera_title_clear_all(visca_camera *camera) { return command(camera, {0x74, 0x1F}); }
int visca_camera_title_turn_all_on(visca_camera *camera) { return command(camera, {0x74, 0x2F}); }
int visca_camera_title_turn_all_off(visca_camera *camera) { return command(camera, {0x74, 0x3F}); }
int visca_camera_title_clear_line(visca_camera *camera, int line) { return command(camera, {0x74, 0x10 | (line & 0x0F)}); }
int visca_camera_title_turn_line_on(visca_camera *camera, int line) { return command(camera, {0x74, 0x20 | (line & 0x0F)}); }
int visca_camera_title_turn_line_off(visca_camera *camera, int line) { return command(camera, {0x74, 0x30 | (line & 0x0F)}); }
