// The motors, and the mast of the advanced model: motor type detection,
// homing against the retracted end, and height moves with a fast and a slow
// phase, evaluated once per refresh on the service thread.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "core/settings.h"
#include "core/trace.h"
#include "power_board/power_board_internal.h"

namespace {

// Mast geometry: encoder counts fall as the mast extends.
constexpr double counts_per_mm = 222.5;
constexpr double retracted_mm = 152.4;  // the mast's height at home, 6 in
constexpr double extension_mm = 609.6;  // the height extension, 24 in
constexpr double half_inch = 2825.75;
constexpr double slow_zone = 11303.0;     // 2 in before the target
constexpr double fast_zone = 14128.75;    // 2.5 in before the target
constexpr double travel = 274097.75;      // 48.5 in out from home
constexpr float moving_amps = 0.125f;     // homing, and moves at full speed
constexpr double slow_moving_amps = 0.063;

constexpr int stable_refreshes = 3;
constexpr int run_duration = 1000;  // ms; repeated by keep-alives while the mast moves
constexpr int move_refreshes = 400;  // 40 s for a whole move
constexpr int homing_refreshes = 400;
constexpr int keep_alive_refreshes = 10;

constexpr uint8_t run_second_motor = 2;
constexpr uint8_t stop_motors = 0xFF;


// Encoder arithmetic stays in range whatever the board reports.
int to_count(double value)
{
    value = std::trunc(value);
    if (value > std::numeric_limits<int>::max())
        return std::numeric_limits<int>::max();
    if (value < std::numeric_limits<int>::min())
        return std::numeric_limits<int>::min();
    return static_cast<int>(value);
}

int distance(int a, int b)
{
    return to_count(std::fabs(static_cast<double>(a) - b));
}

int scale_pwm(int pwm, uint8_t status)
{
    if (!(status & VX4_PB_STATUS_VARIANT))
        return pwm;
    int scaled = pwm * 60 / 100;
    trace(TRACE_POWER_BOARD, "pwm adjust %d %d", pwm, scaled);
    return scaled;
}

vx4_power_board_write run_write(int pwm, int duration)
{
    return {VX4_PB_REGISTER_MOTOR,
            3,
            {static_cast<uint8_t>(static_cast<int8_t>(pwm)), static_cast<uint8_t>(duration & 0xFF),
             static_cast<uint8_t>(duration >> 8)},
            {}};
}

vx4_power_board_write command_write(uint8_t command)
{
    return {VX4_PB_REGISTER_MOTOR_COMMAND, 1, {command}, {}};
}

// The mast's own writes go out at once: they are made on the service thread.
void run_mast(vx4_power_board *board, int pwm)
{
    ++board->motor_writes_queued;
    vx4_power_board_write_register(board, run_write(scale_pwm(pwm, board->registers.pb_status), run_duration));
    vx4_power_board_write_register(board, command_write(run_second_motor));
}

void keep_alive(vx4_power_board *board)
{
    vx4_power_board_write_register(board, command_write(run_second_motor));
}

void stop_mast(vx4_power_board *board)
{
    vx4_power_board_write_register(board, command_write(stop_motors));
}

bool within_limits(const vx4_power_board_mast &mast, int encoder)
{
    return encoder >= mast.lower_limit && encoder <= mast.upper_limit;
}

void debounce_motor_type(vx4_power_board_mast &mast, int type)
{
    if (type != mast.motor_type_seen) {
        mast.motor_type_seen = type;
        mast.stable_count = 0;
        trace(TRACE_HEIGHT_MOTOR, "motor pending %d", type);
        return;
    }
    if (mast.stable_count == stable_refreshes || ++mast.stable_count < stable_refreshes ||
        mast.motor_type_seen == mast.motor_type_accepted)
        return;
    mast.motor_type_accepted = mast.motor_type_seen;
    if (mast.motor_type_accepted == 1) {
        trace(TRACE_HEIGHT_MOTOR, "height detected");
        mast.homing_requested = 0;
        mast.homing_state = VX4_HOMING_NOT_HOMED;
    } else {
        // A pan drive, or no drive at all, needs no homing.
        trace(TRACE_HEIGHT_MOTOR, "no height");
        mast.move_state = VX4_MOVE_IDLE;
        mast.homing_state = VX4_HOMING_HOMED;
    }
}

// Homing ends at the encoder value where the drive stopped, whatever stopped it.
void end_homing_drive(vx4_power_board *board, int encoder, const char *why)
{
    vx4_power_board_mast &mast = board->mast;
    stop_mast(board);
    mast.homing_state = VX4_HOMING_SETTLING;
    mast.home_reference = encoder;
    trace(TRACE_HEIGHT_MOTOR, "homing %s stop %d", why, encoder);
    mast.consecutive_count = 0;
    mast.resample_count = 0;
}

void drive_home(vx4_power_board *board, int encoder, float amps)
{
    vx4_power_board_mast &mast = board->mast;
    trace(TRACE_HEIGHT_MOTOR, "homing amps %.3f", static_cast<double>(amps));
    ++mast.sample_count;
    if (++mast.keep_alive_count > 7) {
        trace(TRACE_HEIGHT_MOTOR, "homing continue");
        keep_alive(board);
        mast.keep_alive_count = 0;
    }
    if (mast.homing_state == VX4_HOMING_STARTED) {
        // The drive must draw current for three refreshes to count as moving.
        if (mast.sample_count > 4) {
            if (amps > moving_amps) {
                trace(TRACE_HEIGHT_MOTOR, "homing moving %d", ++mast.consecutive_count);
                if (mast.consecutive_count > 2) {
                    mast.homing_state = VX4_HOMING_MOVING;
                    mast.consecutive_count = 0;
                    mast.sample_count = 0;
                }
            } else {
                mast.consecutive_count = 0;
            }
        }
        if (board->overcurrent)
            end_homing_drive(board, encoder, "over-current");
        else if (mast.homing_state == VX4_HOMING_STARTED && mast.sample_count > 19)
            end_homing_drive(board, encoder, "e-complete");  // it never drew current
        return;
    }
    // Moving: the current drops once the drive has stalled at the retracted end.
    if (amps < moving_amps) {
        trace(TRACE_HEIGHT_MOTOR, "homing stopping %d", ++mast.consecutive_count);
        if (mast.consecutive_count > 2) {
            end_homing_drive(board, encoder, "complete");
            return;
        }
    } else {
        mast.consecutive_count = 0;
    }
    if (board->overcurrent)
        end_homing_drive(board, encoder, "over-current");
    else if (mast.sample_count > homing_refreshes - 1)
        end_homing_drive(board, encoder, "timeout");
}

void settle_home(vx4_power_board_mast &mast, int encoder)
{
    int moved = distance(encoder, mast.home_reference);
    trace(TRACE_HEIGHT_MOTOR, "homing sample %d", moved);
    if (moved > 499) {
        mast.consecutive_count = 0;
        if (++mast.resample_count > 2) {
            mast.home_reference = encoder;
            trace(TRACE_HEIGHT_MOTOR, "homing resample %d", encoder);
            mast.resample_count = 0;
        }
        return;
    }
    mast.resample_count = 0;
    if (++mast.consecutive_count <= 2)
        return;
    int home = mast.home_reference;
    mast.current_position = home;
    mast.upper_limit = to_count(home + half_inch);
    mast.lower_limit = to_count(home - travel);
    mast.move_state = VX4_MOVE_IDLE;
    mast.homing_state = VX4_HOMING_HOMED;  // last: callers that see it homed see the limits
    trace(TRACE_HEIGHT_MOTOR, "homing complete %d", home);
}

void start_move(vx4_power_board *board, int position)
{
    vx4_power_board_mast &mast = board->mast;
    double away = static_cast<double>(mast.target) - position;  // > 0: the target is further in
    if (away >= 0) {
        mast.direction = -1;
        if (away < slow_zone) {
            trace(TRACE_HEIGHT_MOTOR, "move in slow start");
            mast.slow_point = mast.fast_point = position;
            run_mast(board, -25);
            mast.move_state = VX4_MOVE_IN_SLOW;
        } else {
            mast.slow_point = to_count(mast.target - slow_zone);
            mast.fast_point = to_count(mast.target - fast_zone);
            trace(TRACE_HEIGHT_MOTOR, "move in fast start %d %d", mast.slow_point, mast.fast_point);
            run_mast(board, -100);
            mast.move_state = VX4_MOVE_IN_FAST;
        }
    } else {
        mast.direction = 1;
        if (-away < slow_zone) {
            trace(TRACE_HEIGHT_MOTOR, "move out slow start");
            mast.slow_point = mast.fast_point = position;
            run_mast(board, 25);
            mast.move_state = VX4_MOVE_OUT_SLOW;
        } else {
            mast.slow_point = to_count(mast.target + slow_zone);
            mast.fast_point = to_count(mast.target + fast_zone);
            trace(TRACE_HEIGHT_MOTOR, "move out fast start %d %d", mast.slow_point, mast.fast_point);
            run_mast(board, 100);
            mast.move_state = VX4_MOVE_OUT_FAST;
        }
    }
    mast.no_movement_count = 0;
    mast.keep_alive_count = keep_alive_refreshes;
    mast.sample_count = move_refreshes;
}

// A stop or an over-current ends a move also while the motor rests between
// its phases, so the mast never starts again after either.
bool move_interrupted(vx4_power_board *board, const char *cancel_text, const char *overcurrent_text)
{
    vx4_power_board_mast &mast = board->mast;
    const char *text = mast.cancel_request ? cancel_text : board->overcurrent ? overcurrent_text : nullptr;
    if (!text)
        return false;
    trace(TRACE_HEIGHT_MOTOR, "%s", text);
    mast.move_state = VX4_MOVE_IDLE;
    return true;
}

// Move requested: the mast must rest for five refreshes before it starts.
void settle_before_move(vx4_power_board *board, int encoder, float amps)
{
    vx4_power_board_mast &mast = board->mast;
    trace(TRACE_HEIGHT_MOTOR, "%d %.3f", encoder, static_cast<double>(amps));
    if (move_interrupted(board, "move cancel", "move overcurrent stop"))
        return;
    if (distance(encoder, mast.current_position) > 99) {
        mast.consecutive_count = 0;
        if (++mast.resample_count > 4) {
            trace(TRACE_HEIGHT_MOTOR, "encoder resample %d", encoder);
            mast.current_position = encoder;
            mast.resample_count = 0;
        }
        return;
    }
    mast.resample_count = 0;
    if (++mast.consecutive_count <= 4)
        return;
    mast.current_position = encoder;
    trace(TRACE_HEIGHT_MOTOR, "encoder %d", encoder);
    start_move(board, encoder);
}

void change_speed(vx4_power_board *board, const char *text, int pwm, int state, bool stop_first)
{
    trace(TRACE_HEIGHT_MOTOR, "%s", text);
    if (stop_first)
        stop_mast(board);
    run_mast(board, pwm);
    board->mast.keep_alive_count = keep_alive_refreshes;
    board->mast.move_state = state;
}

void move(vx4_power_board *board, int encoder, float amps)
{
    vx4_power_board_mast &mast = board->mast;
    int state = mast.move_state;
    bool out = state == VX4_MOVE_OUT_FAST || state == VX4_MOVE_OUT_SLOW;
    bool fast = state == VX4_MOVE_OUT_FAST || state == VX4_MOVE_IN_FAST;
    trace(TRACE_HEIGHT_MOTOR, "%d %.3f", encoder, static_cast<double>(amps));
    --mast.keep_alive_count;
    --mast.sample_count;
    double still_amps = fast ? moving_amps : slow_moving_amps;
    if (amps < still_amps || encoder == mast.previous_encoder)
        ++mast.no_movement_count;
    else
        mast.no_movement_count = 0;

    const char *end = nullptr;
    if (mast.cancel_request)
        end = out ? "move out cancel" : "move in cancel";
    else if (board->overcurrent)
        end = out ? "move out overcurrent stop" : "move in overcurrent stop";
    else if (mast.sample_count < 1)
        end = out ? "move out timeout" : "move in timeout";
    else if (mast.no_movement_count > 9) {
        end = out ? "move out no movement stop" : "move in no movement stop";
        mast.current_position = encoder;
    }
    if (end) {
        trace(TRACE_HEIGHT_MOTOR, "%s", end);
        stop_mast(board);
        mast.move_state = VX4_MOVE_IDLE;
        return;
    }
    if (!within_limits(mast, encoder))
        return;
    mast.current_position = encoder;
    if (mast.keep_alive_count < 2) {
        trace(TRACE_HEIGHT_MOTOR, out ? "move out continue" : "move in continue");
        keep_alive(board);
        mast.keep_alive_count = keep_alive_refreshes;
    }

    int position = encoder;
    switch (state) {
    case VX4_MOVE_OUT_FAST:
        if (position < mast.slow_point) {
            change_speed(board, "move out slow", 25, VX4_MOVE_OUT_SLOW, true);
        }
        break;
    case VX4_MOVE_OUT_SLOW:
        if (position < mast.target) {
            trace(TRACE_HEIGHT_MOTOR, "move out check");
            stop_mast(board);
            mast.move_state = VX4_MOVE_CHECKING;
            mast.consecutive_count = mast.resample_count = 0;
        } else if (position > mast.fast_point) {
            change_speed(board, "move out fast", 100, VX4_MOVE_OUT_FAST, true);
        }
        break;
    case VX4_MOVE_IN_FAST:
        if (position > mast.slow_point) {
            change_speed(board, "move in slow", -25, VX4_MOVE_IN_SLOW, true);
        }
        break;
    case VX4_MOVE_IN_SLOW:
        if (position > mast.target) {
            trace(TRACE_HEIGHT_MOTOR, "move in check");
            stop_mast(board);
            mast.move_state = VX4_MOVE_CHECKING;
            mast.consecutive_count = mast.resample_count = 0;
        } else if (position < mast.fast_point) {
            change_speed(board, "move in fast", -100, VX4_MOVE_IN_FAST, true);
        }
        break;
    default:
        break;
    }
}

// Stopped past the target: done once it stays there; short of it, go on.
void check_move(vx4_power_board *board, int encoder, float amps)
{
    vx4_power_board_mast &mast = board->mast;
    trace(TRACE_HEIGHT_MOTOR, "%d %.3f", encoder, static_cast<double>(amps));
    if (--mast.sample_count < 1) {
        trace(TRACE_HEIGHT_MOTOR, "move check timeout");
        mast.move_state = VX4_MOVE_IDLE;
        return;
    }
    bool in = mast.direction < 0;
    if (move_interrupted(board, in ? "move in cancel" : "move out cancel",
                         in ? "move in overcurrent stop" : "move out overcurrent stop") ||
        !within_limits(mast, encoder))
        return;
    bool short_of_target = in ? encoder <= mast.target : encoder >= mast.target;
    if (!short_of_target) {
        mast.resample_count = 0;
        if (++mast.consecutive_count > 4) {
            trace(TRACE_HEIGHT_MOTOR, "move done");
            mast.current_position = encoder;
            mast.move_state = VX4_MOVE_IDLE;
        }
        return;
    }
    mast.consecutive_count = 0;
    if (++mast.resample_count < 5)
        return;
    if (in) {
        if (encoder >= mast.fast_point)
            change_speed(board, "move in slow", -25, VX4_MOVE_IN_SLOW, false);
        else
            change_speed(board, "move in fast", -100, VX4_MOVE_IN_FAST, false);
    } else {
        if (encoder <= mast.fast_point)
            change_speed(board, "move out slow", 25, VX4_MOVE_OUT_SLOW, false);
        else
            change_speed(board, "move out fast", 100, VX4_MOVE_OUT_FAST, false);
    }
}

void copy_text(char *buffer, size_t size, const char *text)
{
    if (size == 0)
        return;
    strncpy(buffer, text, size);
    buffer[size - 1] = '\0';
}

int motor_type(vx4_power_board *board)
{
    pthread_mutex_lock(&board->register_lock);
    int type = board->registers.pb_motor_type;
    pthread_mutex_unlock(&board->register_lock);
    return type;
}

}  // namespace

void vx4_power_board_refresh_mast(vx4_power_board *board)
{
    vx4_power_board_mast &mast = board->mast;
    const vx4_power_board_registers &r = board->registers;
    int encoder = r.pb_encoder_count_1;
    float amps = r.pb_monitor_motor_amps;
    debounce_motor_type(mast, r.pb_motor_type);

    switch (mast.homing_state) {
    case VX4_HOMING_NOT_HOMED:
        if (mast.homing_requested) {
            trace(TRACE_HEIGHT_MOTOR, "homing start");
            run_mast(board, -100);
            mast.homing_state = VX4_HOMING_STARTED;
            mast.consecutive_count = mast.resample_count = mast.keep_alive_count = mast.sample_count = 0;
        }
        break;
    case VX4_HOMING_STARTED:
    case VX4_HOMING_MOVING:
        drive_home(board, encoder, amps);
        break;
    case VX4_HOMING_SETTLING:
        settle_home(mast, encoder);
        break;
    case VX4_HOMING_HOMED:
        switch (mast.move_state) {
        case VX4_MOVE_REQUESTED:
            settle_before_move(board, encoder, amps);
            break;
        case VX4_MOVE_CHECKING:
            check_move(board, encoder, amps);
            break;
        case VX4_MOVE_IDLE:
            if (within_limits(mast, encoder))
                mast.current_position = encoder;
            break;
        default:
            move(board, encoder, amps);
            break;
        }
        break;
    default:
        break;
    }
}

int vx4_power_board_start_motor(vx4_power_board *board, int motor, int8_t pwm, uint16_t duration)
{
    if (motor != 1 && motor != 2)
        return -2;
    if (board->overcurrent)
        return -1;
    vx4_power_board_mast &mast = board->mast;
    bool moving = mast.move_state != VX4_MOVE_IDLE;
    if (moving)
        mast.cancel_request = 1;
    if (moving || mast.homing_state != VX4_HOMING_HOMED) {
        // The mast is driven by hand only once it is homed: asking is what homes it.
        if (motor == 2) {
            mast.homing_requested = 1;
            return 1;
        }
        // During homing a tilt press only cancels a move, if one runs (a mast
        // that was never homed starts with a move requested, but none runs).
        if (mast.homing_requested)
            return moving && mast.homing_state == VX4_HOMING_HOMED ? 1 : -1;
    }

    // The register holds -100 to 100; a wider byte must not reach the board.
    int value = pwm > 100 ? 100 : pwm < -100 ? -100 : pwm;
    pthread_mutex_lock(&board->register_lock);
    uint8_t status = board->registers.pb_status;
    int held_pwm = board->registers.pb_motor_pwm;
    int held_duration = board->registers.pb_motor_duration;
    bool held_is_current = board->motor_writes_seen == board->motor_writes_queued;
    pthread_mutex_unlock(&board->register_lock);
    value = scale_pwm(value, status);

    vx4_power_board_write writes[2] = {run_write(value, duration), command_write(static_cast<uint8_t>(motor))};
    // The board runs a motor command with the PWM and duration it holds.
    if (held_is_current && held_pwm == value && held_duration == duration)
        return vx4_power_board_queue_writes(board, &writes[1], 1);
    return vx4_power_board_queue_writes(board, writes, 2);
}

int vx4_power_board_stop_motor(vx4_power_board *board)
{
    vx4_power_board_mast &mast = board->mast;
    if (mast.move_state != VX4_MOVE_IDLE) {
        // The move stops itself at the next refresh.
        mast.cancel_request = 1;
        if (mast.homing_requested)
            return -1;
    } else if (mast.homing_state != VX4_HOMING_HOMED && mast.homing_requested) {
        return -1;
    }
    vx4_power_board_write stop = command_write(stop_motors);
    return vx4_power_board_queue_writes(board, &stop, 1);
}

int vx4_power_board_home_height(vx4_power_board *board)
{
    if (motor_type(board) != 1)
        return -1;
    board->mast.homing_state = VX4_HOMING_NOT_HOMED;
    board->mast.homing_requested = 1;
    return 0;
}

int vx4_power_board_set_height_preset(vx4_power_board *board, int preset)
{
    vx4_power_board_mast &mast = board->mast;
    trace(TRACE_HEIGHT_MOTOR, "preset %d", preset);
    mast.preset = preset;
    if (motor_type(board) != 1 || mast.homing_state != VX4_HOMING_HOMED || mast.move_state != VX4_MOVE_IDLE)
        return 0;
    if (preset == 6) {
        mast.homing_state = VX4_HOMING_NOT_HOMED;
        mast.homing_requested = 1;
        return 0;
    }
    float offset = static_cast<float>(static_cast<long long>(preset) - 6) * 0.5f;
    trace(TRACE_HEIGHT_MOTOR, "offset %.1f", static_cast<double>(offset));
    double target = mast.home_reference - std::trunc(offset * 11303.0);
    // A target beyond the mast's travel would drive it into its end stop.
    if (target < mast.lower_limit || target > mast.upper_limit) {
        trace(TRACE_HEIGHT_MOTOR, "preset %d out of reach", preset);
        return 0;
    }
    if (std::fabs(target - mast.current_position) > half_inch) {
        mast.target = static_cast<int>(target);
        trace(TRACE_HEIGHT_MOTOR, "move to %d", mast.target);
        mast.consecutive_count = 0;
        mast.cancel_request = 0;
        mast.move_state = VX4_MOVE_REQUESTED;  // last: the service thread then sees the target
    }
    return 0;
}

int vx4_power_board_get_height_preset(vx4_power_board *board) { return board->mast.preset; }

int vx4_power_board_set_height_extension(vx4_power_board *board, int flag)
{
    trace(TRACE_HEIGHT_MOTOR, "extension %d", flag);
    board->mast.extension = flag ? 1 : 0;
    return 0;
}

int vx4_power_board_get_height_extension(vx4_power_board *board) { return board->mast.extension; }

void vx4_power_board_load_height(vx4_power_board *board, char *buffer, size_t size)
{
    const vx4_power_board_mast &mast = board->mast;
    char text[32] = "";
    pthread_mutex_lock(&board->register_lock);
    int type = board->registers.pb_motor_type;
    double home = mast.home_reference;
    double position = mast.current_position;
    pthread_mutex_unlock(&board->register_lock);
    if (type == 1) {
        if (mast.homing_state != VX4_HOMING_HOMED) {
            if (mast.homing_requested)
                snprintf(text, sizeof text, "HOMING");
        } else if (mast.move_state != VX4_MOVE_IDLE) {
            snprintf(text, sizeof text, "SETTING");
        } else {
            double mm = (home - position) / counts_per_mm + retracted_mm + (mast.extension ? extension_mm : 0.0);
            double inches = mm / 25.4;
            int32_t units = 1;
            vx4_read_nv(NV_UNITS, &units, sizeof units);
            if (units == 1)
                snprintf(text, sizeof text, "%.1f %s", inches, "in");
            else
                snprintf(text, sizeof text, "%.1f %s", inches * 2.54, "cm");
        }
    }
    copy_text(buffer, size, text);
}
