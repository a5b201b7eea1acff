#include "power_board/power_board_internal.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include "core/application.h"
#include "core/trace.h"

std::atomic<vx4_power_board *> power_board_instance;

const float vx4_power_board_indepro_thresholds[4] = {19.5f, 18.5f, 17.5f, 16.5f};
const float vx4_power_board_dewalt_thresholds[4] = {19.5f, 18.5f, 17.5f, 16.5f};

namespace {

constexpr int chip_select_pin = 24;
constexpr int boot_reset_pin = 13;
constexpr int boot_select_pin = 15;
constexpr int spi_bus = 0;
constexpr int spi_frequency = 100000;
constexpr int hold_refreshes = 30;  // refreshes, or 50-refresh windows for pressure and humidity
constexpr int average_samples = 50;
constexpr int laser_item = 6;

constexpr uint8_t power_off_request = 0x01;  // power enable register

const uint8_t idle_bytes[VX4_POWER_BOARD_ADVANCED_FRAME] = {};

void pause_us(long microseconds)
{
    timespec left{microseconds / 1000000, (microseconds % 1000000) * 1000};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

const char *program(const vx4_power_board *board)
{
    return board->application && board->application->program_name ? board->application->program_name : "vx4-api";
}

// --- queue ---

void append_locked(vx4_power_board *board, vx4_power_board_record *record)
{
    record->next = nullptr;
    if (board->tail)
        board->tail->next = record;
    else
        board->head = record;
    board->tail = record;
}

// A preallocated record is appended only when it is not in the queue
// already: appending it twice would tie the list into a loop.
void queue_preallocated(vx4_power_board *board, vx4_power_board_record *record)
{
    pthread_mutex_lock(&board->queue_lock);
    if (!record->queued) {
        record->queued = true;
        append_locked(board, record);
    }
    pthread_cond_signal(&board->queue_condition);
    pthread_mutex_unlock(&board->queue_lock);
}

vx4_power_board_record *pop_record(vx4_power_board *board)
{
    pthread_mutex_lock(&board->queue_lock);
    while (!board->head)
        pthread_cond_wait(&board->queue_condition, &board->queue_lock);
    vx4_power_board_record *record = board->head;
    board->head = record->next;
    if (!board->head)
        board->tail = nullptr;
    record->queued = false;
    pthread_mutex_unlock(&board->queue_lock);
    return record;
}

bool preallocated(const vx4_power_board *board, const vx4_power_board_record *record)
{
    return record == &board->stop_record || record == &board->refresh_record || record == &board->shutdown_record;
}

void on_refresh_timer(struct ev_loop *, ev_timer *timer, int)
{
    auto *board = static_cast<vx4_power_board *>(timer->data);
    if (board->stopping || board->refresh_pending)
        return;
    vx4_power_board_refresh_now(board);
}

// --- bus ---

// One transaction: chip select low, the command byte, the data, chip select
// high, with the pauses the board needs between them.
mraa_result_t transaction(vx4_power_board *board, uint8_t command, const uint8_t *data, uint8_t *received, int length)
{
    uint8_t ignored;
    mraa_gpio_write(board->chip_select, 0);
    mraa_result_t result = mraa_spi_transfer_buf(board->spi, &command, &ignored, 1);
    pause_us(10);
    if (result == MRAA_SUCCESS)
        result = mraa_spi_transfer_buf(board->spi, data, received, length);
    else
        memset(received, 0, static_cast<size_t>(length));
    pause_us(10);
    mraa_gpio_write(board->chip_select, 1);
    pause_us(50);
    if (result != MRAA_SUCCESS)
        trace(TRACE_POWER_BOARD, "transfer failed: %s", vx4_bus_result_text(result));
    return result;
}

bool open_output(vx4_power_board *board, mraa_gpio_context *gpio, int pin, int value, int init_line, int dir_line,
                 int write_line)
{
    *gpio = mraa_gpio_init(pin);
    if (!*gpio) {
        fprintf(stderr, "%s: mraa_gpio_init() failed at line %d\n", program(board), init_line);
        return false;
    }
    mraa_result_t result = mraa_gpio_dir(*gpio, MRAA_GPIO_OUT);
    if (result != MRAA_SUCCESS) {
        fprintf(stderr, "%s: mraa_gpio_dir() failed at line %d: %s\n", program(board), dir_line,
                vx4_bus_result_text(result));
        return false;
    }
    result = mraa_gpio_write(*gpio, value);
    if (result != MRAA_SUCCESS) {
        fprintf(stderr, "%s: mraa_gpio_write() failed at line %d: %s\n", program(board), write_line,
                vx4_bus_result_text(result));
        return false;
    }
    return true;
}

bool spi_step(vx4_power_board *board, mraa_result_t result, const char *call, int line)
{
    if (result == MRAA_SUCCESS)
        return true;
    fprintf(stderr, "%s: %s() failed at line %d: %s\n", program(board), call, line, vx4_bus_result_text(result));
    return false;
}

bool open_bus(vx4_power_board *board)
{
    if (!open_output(board, &board->chip_select, chip_select_pin, 1, 2385, 2393, 2402) ||
        !open_output(board, &board->boot_reset, boot_reset_pin, 0, 2411, 2420, 2430) ||
        !open_output(board, &board->boot_select, boot_select_pin, 0, 2440, 2450, 2461))
        return false;
    board->spi = mraa_spi_init(spi_bus);
    if (!board->spi) {
        fprintf(stderr, "%s: mraa_spi_init() failed at line %d\n", program(board), 2472);
        return false;
    }
    return spi_step(board, mraa_spi_mode(board->spi, MRAA_SPI_MODE2), "mraa_spi_mode", 2483) &&
           spi_step(board, mraa_spi_frequency(board->spi, spi_frequency), "mraa_spi_frequency", 2495) &&
           spi_step(board, mraa_spi_lsbmode(board->spi, false), "mraa_spi_lsbmode", 2507);
}

void close_bus(vx4_power_board *board)
{
    if (board->spi)
        mraa_spi_stop(board->spi);
    if (board->chip_select)
        mraa_gpio_write(board->chip_select, 1);
    for (mraa_gpio_context *gpio : {&board->chip_select, &board->boot_reset, &board->boot_select})
        if (*gpio)
            mraa_gpio_close(*gpio);
    board->spi = nullptr;
    board->chip_select = board->boot_reset = board->boot_select = nullptr;
}

// --- refresh evaluation ---

// An event main did not wire is not reported.
template <typename... Arguments>
void notify(void (*event)(Arguments...), Arguments... arguments)
{
    if (event)
        event(arguments...);
}

// Begin/end hysteresis: the end comes hold_refreshes evaluations after the
// condition last held. Returns true at the begin.
bool hold_event(std::atomic<int> &counter, bool active, const char *begin, const char *end)
{
    if (active) {
        bool begins = counter == 0;
        if (begins)
            trace(TRACE_POWER_BOARD, "%s", begin);
        counter = hold_refreshes;
        return begins;
    }
    if (counter > 0 && --counter == 0)
        trace(TRACE_POWER_BOARD, "%s", end);
    return false;
}

void evaluate_status(vx4_power_board *board, const vx4_power_board_registers &r)
{
    uint8_t status = r.pb_status;
    if ((status & (VX4_PB_STATUS_SHUTDOWN | VX4_PB_STATUS_SHUTDOWN_SUPPRESSED)) == VX4_PB_STATUS_SHUTDOWN &&
        !board->shutdown_latch) {
        board->shutdown_latch = 1;
        trace(TRACE_POWER_BOARD, "shutdown request");
        if (board->events.trigger_shutdown)
            board->events.trigger_shutdown(3);
    }
    bool overcurrent = status & (VX4_PB_STATUS_TILT_OVERCURRENT | VX4_PB_STATUS_MOTOR2_OVERCURRENT);
    if (overcurrent && !board->overcurrent) {
        board->overcurrent = 1;
        trace(TRACE_POWER_BOARD, "overcurrent");
    } else if (!overcurrent && board->overcurrent) {
        trace(TRACE_POWER_BOARD, "no overcurrent");
        board->overcurrent = 0;
    }
    const vx4_power_board_events &events = board->events;
    if (hold_event(board->tilt_hold, status & VX4_PB_STATUS_TILT_OVERCURRENT, "tilt overcurrent begin",
                   "tilt overcurrent end"))
        notify(events.report_tilt_motor_warning);
    if (hold_event(board->motor2_hold, status & VX4_PB_STATUS_MOTOR2_OVERCURRENT, "pan/height overcurrent start",
                   "pan/height overcurrent end")) {
        if (r.pb_motor_type == 1)
            notify(events.report_height_motor_warning);
        else if (r.pb_motor_type == 2)
            notify(events.report_pan_motor_warning);
    }
}

void evaluate_battery(vx4_power_board *board, float volts)
{
    board->ring_sum += volts - board->voltage_ring[board->ring_index];
    board->voltage_ring[board->ring_index] = volts;
    board->ring_index = (board->ring_index + 1) % VX4_PB_VOLTAGE_RING;
    if (board->averaging_countdown > 0)
        --board->averaging_countdown;
    if (board->averaging_countdown != 0)
        return;
    float average = board->ring_sum * (1.0f / VX4_PB_VOLTAGE_RING);
    const float *t = board->battery_thresholds;
    // After the first evaluation the level moves one step at a time.
    switch (board->battery_level) {
    case VX4_BATTERY_UNKNOWN:
        board->battery_level = average >= t[0]   ? VX4_BATTERY_100
                               : average >= t[1] ? VX4_BATTERY_75
                               : average >= t[2] ? VX4_BATTERY_50
                                                 : VX4_BATTERY_25;
        break;
    case VX4_BATTERY_25:
        if (average > t[2])
            board->battery_level = VX4_BATTERY_50;
        break;
    case VX4_BATTERY_50:
        if (average < t[3])
            board->battery_level = VX4_BATTERY_25;
        else if (average > t[1])
            board->battery_level = VX4_BATTERY_75;
        break;
    case VX4_BATTERY_75:
        if (average < t[2])
            board->battery_level = VX4_BATTERY_50;
        else if (average > t[0])
            board->battery_level = VX4_BATTERY_100;
        break;
    case VX4_BATTERY_100:
        if (average < t[1])
            board->battery_level = VX4_BATTERY_75;
        break;
    }
}

// A high reading begins an event at once (hold counter set to 30 windows);
// it ends after 30 windows whose mean was below the end threshold.
void evaluate_window_mean(std::atomic<int> &hold, double mean, double begin_above, double end_below, const char *begin,
                          const char *end, void (*warn)())
{
    if (mean > begin_above) {
        if (hold == 0) {
            trace(TRACE_POWER_BOARD, "%s", begin);
            notify(warn);
        }
        hold = hold_refreshes;
    } else if (mean < end_below && hold > 0 && --hold == 0) {
        trace(TRACE_POWER_BOARD, "%s", end);
    }
}

void evaluate_pressure(vx4_power_board *board, uint32_t pressure)
{
    if (board->pressure_delay > 0) {
        --board->pressure_delay;
        return;
    }
    board->pressure_sum += pressure;
    if (++board->pressure_count < average_samples)
        return;
    uint64_t mean = board->pressure_sum / static_cast<uint64_t>(board->pressure_count);
    notify(board->events.report_internal_pressure, static_cast<double>(mean));
    evaluate_window_mean(board->pressure_hold, static_cast<double>(mean), 1200.0, 1100.0, "high pressure begin",
                         "high pressure end", board->events.report_high_pressure_warning);
    board->pressure_sum = 0;
    board->pressure_count = 0;
}

// Humidity is held in %RH; the thresholds 9500 and 9000 are in the
// register's hundredths, so 95 % and 90 %.
void evaluate_humidity(vx4_power_board *board, float humidity)
{
    if (board->humidity_delay > 0) {
        --board->humidity_delay;
        return;
    }
    board->humidity_sum += humidity;
    if (++board->humidity_count < average_samples)
        return;
    double mean = board->humidity_sum / board->humidity_count;
    notify(board->events.report_internal_humidity, mean);
    evaluate_window_mean(board->humidity_hold, mean, 95.0, 90.0, "high rh begin", "high rh end",
                         board->events.report_high_humidity_warning);
    board->humidity_sum = 0;
    board->humidity_count = 0;
}

void show_laser_item(const vx4_power_board_events &events, int value)
{
    notify(events.set_osd_item, laser_item, value, 1);
}

void show_laser_reading(const vx4_power_board_events &events, double distance)
{
    notify(events.set_osd_laser_reading, static_cast<float>(distance));
    show_laser_item(events, 1);
}

void evaluate_laser_display(vx4_power_board *board)
{
    const vx4_power_board_events &events = board->events;
    switch (board->laser_mode) {
    case VX4_LASER_OFF:
        board->laser_valid = 0;
        if (events.get_osd_item && events.get_osd_item(laser_item))
            show_laser_item(events, 0);
        break;
    case VX4_LASER_MANUAL:
    case VX4_LASER_PICTURE:
        if (board->laser_trigger && board->invalid_count == 0) {
            board->laser_trigger = 0;
            show_laser_reading(events, board->last_valid_distance);
            board->laser_valid = 1;
        } else if (!board->laser_trigger && board->laser_clear) {
            board->laser_clear = 0;
            board->laser_valid = 0;
            show_laser_item(events, 0);
        }
        break;
    case VX4_LASER_AUTO:
        board->laser_valid = board->invalid_count == 0;
        if (board->invalid_count == 0 && board->last_valid_distance != board->last_shown_distance) {
            show_laser_reading(events, board->last_valid_distance);
            board->last_shown_distance = board->last_valid_distance.load();
        }
        break;
    default:
        break;
    }
}

void refresh(vx4_power_board *board)
{
    if (board->update_active) {
        board->refresh_pending = 0;
        return;
    }
    uint8_t command = board->read_command;
    int length = board->frame_length;
    trace(TRACE_POWER_BOARD_REFRESH, "refresh %02X %d %d %d", command, length, board->zero_buffer.load(),
          board->all_zero.load());
    uint8_t frame[VX4_POWER_BOARD_ADVANCED_FRAME];
    unsigned motor_writes = board->motor_writes_done;
    transaction(board, command, idle_bytes, frame, length);
    for (int i = 0; i < length; ++i)
        frame[i] = vx4_power_board_reverse_bits(frame[i]);
    if (board->zero_buffer) {
        trace(TRACE_POWER_BOARD_REFRESH, "zero buffer");
        memset(frame, 0, sizeof frame);
    }

    pthread_mutex_lock(&board->register_lock);
    vx4_power_board_frame_check check = vx4_power_board_decode_frame(frame, length, board->advanced, &board->registers);
    board->all_zero = check.all_zero;
    if (check.passed)
        board->motor_writes_seen = motor_writes;
    pthread_mutex_unlock(&board->register_lock);
    // Only this thread changes the block: reading it here needs no lock.
    const vx4_power_board_registers &r = board->registers;
    if (check.passed) {
        board->current_power = r.pb_power_enable;
        board->current_leds[0] = r.pb_led_enable;
        board->current_leds[1] = r.pb_led_pwm;
    } else {
        trace(TRACE_POWER_BOARD_REFRESH, "*** bad refresh %02X ***", check.sum);
    }

    if (r.pb_status & VX4_PB_STATUS_VARIANT)
        evaluate_status(board, r);
    evaluate_battery(board, r.pb_monitor_vin_volts);
    evaluate_pressure(board, r.pb_bme280_pressure);
    evaluate_humidity(board, r.pb_bme280_humidity);
    if (board->advanced) {
        vx4_power_board_refresh_mast(board);
        board->mast.previous_encoder = r.pb_encoder_count_1;
        if (r.pb_laser_distance > 0.05) {
            board->last_valid_distance = r.pb_laser_distance;
            board->invalid_count = 0;
        } else {
            ++board->invalid_count;
        }
    }
    evaluate_laser_display(board);
    if (!board->refresh_suspended)
        board->refresh_pending = 0;
    ++board->refresh_count;
}

void hand_over_update(vx4_power_board *board, vx4_power_board_record *record)
{
    if (board->update_active) {
        trace(TRACE_POWER_BOARD, "update dropped");
    } else {
        trace(TRACE_POWER_BOARD, "update");
        board->update_active = 1;
        pthread_mutex_lock(&board->update_lock);
        board->update_done = record->done;
        pthread_cond_signal(&board->update_condition);
        pthread_mutex_unlock(&board->update_lock);
    }
    free(record);
}

void set_update_status(vx4_power_board *board, const char *progress, const char *stage, const char *detail)
{
    pthread_mutex_lock(&board->update_status_lock);
    snprintf(board->update_progress, sizeof board->update_progress, "%s", progress);
    snprintf(board->update_stage, sizeof board->update_stage, "%s", stage);
    snprintf(board->update_detail, sizeof board->update_detail, "%s", detail);
    pthread_mutex_unlock(&board->update_status_lock);
}

void stop_update_thread(vx4_power_board *board)
{
    if (!board->update_thread_started)
        return;
    pthread_mutex_lock(&board->update_lock);
    board->update_quit = true;
    pthread_cond_signal(&board->update_condition);
    pthread_mutex_unlock(&board->update_lock);
    pthread_join(board->update_thread, nullptr);
    board->update_thread_started = false;
}

void *service_thread(void *argument)
{
    auto *board = static_cast<vx4_power_board *>(argument);
    if (!open_bus(board)) {
        close_bus(board);
        board->service_state = VX4_PB_FAILED;
        return nullptr;
    }
    board->update_active = 0;
    set_update_status(board, "0 of 0", "not active", "not active");
    board->update_quit = false;
    board->update_thread_started =
        pthread_create(&board->update_thread, nullptr, vx4_power_board_update_thread, board) == 0;
    // The laser starts off with speed 2 from the board's initialisation; a
    // mode or speed the API set while the bus was opening is kept.
    board->service_state = VX4_PB_RUNNING;

    for (bool running = true; running;) {
        vx4_power_board_record *record = pop_record(board);
        switch (record->type) {
        case VX4_PB_RECORD_STOP:
            running = false;
            break;
        case VX4_PB_RECORD_REFRESH:
            refresh(board);
            break;
        case VX4_PB_RECORD_WRITE:
            vx4_power_board_write_register(board, record->write);
            free(record);
            break;
        case VX4_PB_RECORD_UPDATE:
            hand_over_update(board, record);
            break;
        case VX4_PB_RECORD_SHUTDOWN: {
            trace(TRACE_POWER_BOARD, "signal shutdown");
            pause_us(50000);
            // Bit 1 goes with every power write, also when nothing was read back yet.
            vx4_power_board_write write{VX4_PB_REGISTER_POWER, 1, {power_write | power_off_request}, {0xFF}};
            vx4_power_board_write_register(board, write);
            break;
        }
        default:
            break;
        }
    }

    board->service_state = VX4_PB_STOPPING;
    stop_update_thread(board);
    close_bus(board);
    board->service_state = VX4_PB_STOPPED;
    return nullptr;
}

bool init_lock(vx4_power_board *board, pthread_mutex_t *lock)
{
    int error = pthread_mutex_init(lock, nullptr);
    if (error)
        fprintf(stderr, "%s: pthread_mutex_init() failed at line %d: %s\n", program(board), 2705, strerror(error));
    return error == 0;
}

bool init_condition(vx4_power_board *board, pthread_cond_t *condition)
{
    int error = pthread_cond_init(condition, nullptr);
    if (error)
        fprintf(stderr, "%s: pthread_cond_init() failed at line %d: %s\n", program(board), 2712, strerror(error));
    return error == 0;
}

void choose_battery_thresholds(vx4_power_board *board)
{
    char type[16] = {};
    if (board->events.load_battery_type)
        board->events.load_battery_type(type, sizeof type);
    const float *table = memcmp(type, "Indipro", 8) == 0 ? vx4_power_board_indepro_thresholds
                                                          : vx4_power_board_dewalt_thresholds;
    memcpy(board->battery_thresholds, table, sizeof board->battery_thresholds);
}

void init_mast(vx4_power_board *board)
{
    vx4_power_board_mast &mast = board->mast;
    mast.preset = 6;
    if (!board->advanced) {
        mast.move_state = VX4_MOVE_IDLE;  // the basic model has no mast: idle and homed
        mast.homing_state = VX4_HOMING_HOMED;
    }
}

}  // namespace

int vx4_power_board_init(vx4_power_board *board, vx4_application *application, bool advanced,
                         const vx4_power_board_events *events)
{
    trace(TRACE_POWER_BOARD, "init %d", advanced ? 1 : 0);
    new (board) vx4_power_board();
    board->application = application;
    if (events)
        board->events = *events;
    board->advanced = advanced;
    board->stop_record.type = VX4_PB_RECORD_STOP;
    board->refresh_record.type = VX4_PB_RECORD_REFRESH;
    board->shutdown_record.type = VX4_PB_RECORD_SHUTDOWN;
    // What is learnt from the board starts as after a restart of the board:
    // averages to fill, battery level and motor type unknown, mast not homed.
    vx4_power_board_reset_board_state(board);
    board->laser_speed = 2;
    board->update_time_scale = 1.0;
    snprintf(board->update_progress, sizeof board->update_progress, "0 of 0");
    snprintf(board->update_stage, sizeof board->update_stage, "not active");
    snprintf(board->update_detail, sizeof board->update_detail, "not active");
    board->read_command = advanced ? VX4_POWER_BOARD_ADVANCED_READ : VX4_POWER_BOARD_BASIC_READ;
    board->frame_length = vx4_power_board_frame_length(advanced);
    init_mast(board);
    // Every lock is ready before any caller can reach the board, so that a
    // board whose service never started can still be read.
    if (!init_lock(board, &board->queue_lock) || !init_condition(board, &board->queue_condition) ||
        !init_lock(board, &board->register_lock) || !init_lock(board, &board->update_lock) ||
        !init_condition(board, &board->update_condition) || !init_lock(board, &board->update_status_lock))
        return -1;
    return 0;
}

int vx4_power_board_start_service(vx4_power_board *board)
{
    trace(TRACE_POWER_BOARD, "start");
    if (board->service_state != VX4_PB_STOPPED) {
        fprintf(stderr, "%s: vx4_power_board_start_service() failed at line %d: %s\n", program(board), 2767,
                strerror(EALREADY));
        return -1;
    }
    board->service_state = VX4_PB_INITIALISING;
    int error = pthread_create(&board->thread, nullptr, service_thread, board);
    if (error) {
        fprintf(stderr, "%s: pthread_create() failed at line %d: %s\n", program(board), 2774, strerror(error));
        board->service_state = VX4_PB_STOPPED;
        return -1;
    }
    board->thread_started = true;
    board->stopping = 0;
    board->refresh_pending = board->refresh_suspended.load();  // a suspended board waits for a trigger
    ev_timer_init(&board->refresh_timer, on_refresh_timer, 0.1, 0.1);
    board->refresh_timer.data = board;
    ev_timer_start(board->application->loop, &board->refresh_timer);
    return 0;
}

void vx4_power_board_stop_service(vx4_power_board *board)
{
    if (board->service_state != VX4_PB_STOPPED && !board->stopping) {
        ev_timer_stop(board->application->loop, &board->refresh_timer);
        board->stopping = 1;
        queue_preallocated(board, &board->stop_record);
    }
    if (board->thread_started) {
        pthread_join(board->thread, nullptr);
        board->thread_started = false;
    }
}

void vx4_power_board_destroy(vx4_power_board *board)
{
    vx4_power_board_stop_service(board);
    // Records a failed service never ran.
    while (vx4_power_board_record *record = board->head) {
        board->head = record->next;
        if (!preallocated(board, record))
            free(record);
    }
    board->tail = nullptr;
    pthread_mutex_destroy(&board->queue_lock);
    pthread_cond_destroy(&board->queue_condition);
    pthread_mutex_destroy(&board->register_lock);
    pthread_mutex_destroy(&board->update_lock);
    pthread_cond_destroy(&board->update_condition);
    pthread_mutex_destroy(&board->update_status_lock);
    if (power_board_instance == board)
        power_board_instance = nullptr;
}

void vx4_power_board_suspend_refresh(vx4_power_board *board)
{
    trace(TRACE_POWER_BOARD, "suspend refresh");
    board->refresh_suspended = 1;
}

void vx4_power_board_resume_refresh(vx4_power_board *board)
{
    trace(TRACE_POWER_BOARD, "resume refresh");
    board->refresh_suspended = 0;
    board->refresh_pending = 0;
}

void vx4_power_board_trigger_refresh(vx4_power_board *board)
{
    if (!board->refresh_suspended)
        return;
    trace(TRACE_POWER_BOARD, "trigger refresh");
    board->refresh_pending = 0;
}

void vx4_power_board_queue_record(vx4_power_board *board, vx4_power_board_record *record)
{
    pthread_mutex_lock(&board->queue_lock);
    append_locked(board, record);
    pthread_cond_signal(&board->queue_condition);
    pthread_mutex_unlock(&board->queue_lock);
}

void vx4_power_board_reset_board_state(vx4_power_board *board)
{
    board->shutdown_latch = 0;
    board->overcurrent = 0;
    memset(board->voltage_ring, 0, sizeof board->voltage_ring);
    board->ring_index = 0;
    board->ring_sum = 0;
    board->averaging_countdown = VX4_PB_VOLTAGE_RING;
    choose_battery_thresholds(board);
    board->battery_level = VX4_BATTERY_UNKNOWN;
    board->pressure_delay = VX4_PB_SAMPLE_DELAY;
    board->pressure_sum = 0;
    board->pressure_count = 0;
    board->humidity_delay = VX4_PB_SAMPLE_DELAY;
    board->humidity_sum = 0;
    board->humidity_count = 0;
    vx4_power_board_mast &mast = board->mast;
    mast.homing_requested = 0;
    mast.cancel_request = 0;
    if (board->advanced) {
        // The motor type is detected afresh, and the mast homed again.
        mast.motor_type_seen = -1;
        mast.stable_count = 0;
        mast.homing_state = VX4_HOMING_NOT_HOMED;
    }
}

int vx4_power_board_queue_power_write(vx4_power_board *board, uint8_t keep, uint8_t set)
{
    vx4_power_board_write write{VX4_PB_REGISTER_POWER, 1, {set}, {keep}};
    return vx4_power_board_queue_writes(board, &write, 1);
}

const char *vx4_power_board_motor_type_text(uint8_t type)
{
    return type == 1 ? "height" : type == 2 ? "pan" : "none";
}

void vx4_power_board_refresh_now(vx4_power_board *board)
{
    board->refresh_pending = 1;
    queue_preallocated(board, &board->refresh_record);
}

int vx4_power_board_signal_shutdown(vx4_power_board *board)
{
    queue_preallocated(board, &board->shutdown_record);
    return 0;
}

int vx4_power_board_enable_camera_power(vx4_power_board *board)
{
    return vx4_power_board_queue_power_write(board, 0xFF, power_write | camera_rail);
}

int vx4_power_board_disable_camera_power(vx4_power_board *board)
{
    // The camera is never switched off during its own firmware update.
    if (board->events.camera_update_active && board->events.camera_update_active())
        return 0;
    return vx4_power_board_queue_power_write(board, static_cast<uint8_t>(~camera_rail), power_write);
}

int vx4_power_board_enable_laser_power(vx4_power_board *board)
{
    return vx4_power_board_queue_power_write(board, 0xFF, power_write | laser_rail);
}

int vx4_power_board_disable_laser_power(vx4_power_board *board)
{
    return vx4_power_board_queue_power_write(board, static_cast<uint8_t>(~laser_rail), power_write);
}

int vx4_power_board_enable_led_power(vx4_power_board *board, int mask, int pwm)
{
    vx4_power_board_write write{VX4_PB_REGISTER_LEDS, 2, {}, {}};
    if (mask < 0)
        write.keep[0] = 0xFF;
    else
        write.data[0] = static_cast<uint8_t>(mask);
    if (pwm < 0)
        write.keep[1] = 0xFF;
    else
        write.data[1] = static_cast<uint8_t>(pwm > 255 ? 255 : pwm);
    return vx4_power_board_queue_writes(board, &write, 1);
}

int vx4_power_board_set_laser_mode(vx4_power_board *board, int mode)
{
    switch (mode) {
    case VX4_LASER_OFF:
        vx4_power_board_disable_laser_power(board);
        board->laser_mode = VX4_LASER_OFF;
        break;
    case VX4_LASER_MANUAL:
    case VX4_LASER_PICTURE:
        vx4_power_board_enable_laser_power(board);
        board->laser_trigger = 0;
        board->laser_clear = 0;
        board->laser_mode = mode;
        break;
    case VX4_LASER_AUTO:
        vx4_power_board_enable_laser_power(board);
        board->laser_mode = VX4_LASER_AUTO;
        board->last_shown_distance = -1.0;
        break;
    default:
        break;
    }
    return 0;
}

void vx4_power_board_set_laser_speed(vx4_power_board *board, int speed) { board->laser_speed = speed; }

int vx4_power_board_trigger_laser_reading(vx4_power_board *board)
{
    int mode = board->laser_mode;
    if (mode != VX4_LASER_MANUAL && mode != VX4_LASER_PICTURE)
        return -1;
    board->laser_trigger = 1;
    return 0;
}

int vx4_power_board_clear_laser_reading(vx4_power_board *board)
{
    // A move makes the distance shown stale at once, not at the next refresh.
    board->laser_valid = 0;
    board->laser_clear = 1;
    return 0;
}

int vx4_power_board_get_laser_mode(vx4_power_board *board) { return board->laser_mode; }

int vx4_power_board_get_laser_speed(vx4_power_board *board) { return board->laser_speed; }

int vx4_power_board_load_laser_reading(vx4_power_board *board, double *metres, int *age)
{
    if (metres)
        *metres = board->last_valid_distance;
    if (age)
        *age = board->invalid_count;
    return board->laser_valid;
}

void vx4_power_board_load_warnings(vx4_power_board *board, vx4_power_board_warnings *warnings)
{
    warnings->pressure = board->pressure_hold;
    warnings->humidity = board->humidity_hold;
    warnings->tilt_motor = board->tilt_hold;
    warnings->motor2 = board->motor2_hold;
}

int vx4_power_board_get_model(vx4_power_board *board) { return board->advanced ? 1 : 0; }

int vx4_power_board_get_board_type(vx4_power_board *board)
{
    pthread_mutex_lock(&board->register_lock);
    int type = board->registers.pb_status & VX4_PB_STATUS_VARIANT;
    pthread_mutex_unlock(&board->register_lock);
    return type;
}

void vx4_power_board_load_battery_level(vx4_power_board *board, char *buffer, size_t size)
{
    static const char *const levels[] = {"?", "25%", "50%", "75%", "100%"};
    if (size == 0)
        return;
    int level = board->battery_level;
    strncpy(buffer, levels[level >= VX4_BATTERY_25 && level <= VX4_BATTERY_100 ? level : VX4_BATTERY_UNKNOWN], size);
    buffer[size - 1] = '\0';
}

int vx4_power_board_issue_write(vx4_power_board *board, int reg, const uint8_t *data, int count)
{
    if (reg < 0 || reg > VX4_POWER_BOARD_MAX_REGISTER || count < 1 || count > VX4_POWER_BOARD_MAX_WRITE)
        return -2;
    vx4_power_board_write write{reg, count, {}, {}};
    memcpy(write.data, data, static_cast<size_t>(count));
    return vx4_power_board_queue_writes(board, &write, 1);
}

int vx4_power_board_queue_writes(vx4_power_board *board, const vx4_power_board_write *writes, int count)
{
    constexpr int most = 8;
    if (count < 1 || count > most)
        return -2;
    for (int i = 0; i < count; ++i)
        if (writes[i].reg < 0 || writes[i].reg > VX4_POWER_BOARD_MAX_REGISTER || writes[i].count < 1 ||
            writes[i].count > VX4_POWER_BOARD_MAX_WRITE)
            return -2;
    vx4_power_board_record *records[most] = {};
    for (int i = 0; i < count; ++i) {
        records[i] = static_cast<vx4_power_board_record *>(calloc(1, sizeof(vx4_power_board_record)));
        if (!records[i]) {
            fprintf(stderr, "%s: calloc() failed at line %d: %s\n", program(board), __LINE__, strerror(errno));
            for (int j = 0; j < i; ++j)
                free(records[j]);
            return -1;
        }
        records[i]->type = VX4_PB_RECORD_WRITE;
        records[i]->write = writes[i];
    }
    pthread_mutex_lock(&board->queue_lock);
    for (int i = 0; i < count; ++i) {
        if (writes[i].reg == VX4_PB_REGISTER_MOTOR)
            ++board->motor_writes_queued;
        append_locked(board, records[i]);
    }
    pthread_cond_signal(&board->queue_condition);
    pthread_mutex_unlock(&board->queue_lock);
    return 0;
}

void vx4_power_board_write_register(vx4_power_board *board, const vx4_power_board_write &write)
{
    // Rail and light writes build on what the board holds now.
    uint8_t *current = write.reg == VX4_PB_REGISTER_POWER  ? &board->current_power
                       : write.reg == VX4_PB_REGISTER_LEDS ? board->current_leds
                                                           : nullptr;
    int current_count = write.reg == VX4_PB_REGISTER_POWER ? 1 : write.reg == VX4_PB_REGISTER_LEDS ? 2 : 0;
    uint8_t data[VX4_POWER_BOARD_MAX_WRITE];
    for (int i = 0; i < write.count; ++i)
        data[i] = static_cast<uint8_t>((i < current_count ? current[i] & write.keep[i] : 0) | write.data[i]);
    if (write.reg == VX4_PB_REGISTER_MOTOR)
        ++board->motor_writes_done;  // done also when dropped: the board then keeps its value

    if (board->update_active) {
        trace(TRACE_POWER_BOARD, "write dropped %d", write.reg);
        trace_data(TRACE_POWER_BOARD, "write", data, write.count);
        return;
    }
    printf("WRITE: (%d) ", write.reg);
    for (int i = 0; i < write.count; ++i)
        printf("%02x", data[i]);
    printf("\n");
    fflush(stdout);
    trace(TRACE_POWER_BOARD, "write to register %d", write.reg);
    trace_data(TRACE_POWER_BOARD, "write data", data, write.count);

    uint8_t wire[1 + VX4_POWER_BOARD_MAX_WRITE];
    uint8_t ignored[VX4_POWER_BOARD_MAX_WRITE];
    if (vx4_power_board_encode_write(write.reg, data, write.count, wire) < 0)
        return;
    if (transaction(board, wire[0], wire + 1, ignored, write.count) != MRAA_SUCCESS)
        return;
    for (int i = 0; i < current_count && i < write.count; ++i)
        current[i] = data[i];
    if (write.reg == VX4_PB_REGISTER_POWER)
        board->current_power &= static_cast<uint8_t>(~power_off_request);  // a request, not a state
}

void vx4_power_board_load_registers(vx4_power_board *board, vx4_power_board_registers *registers)
{
    pthread_mutex_lock(&board->register_lock);
    memcpy(registers, &board->registers, sizeof *registers);
    pthread_mutex_unlock(&board->register_lock);
}

uint8_t vx4_power_board_get_read_command(vx4_power_board *board) { return board->read_command; }

void vx4_power_board_set_read_command(vx4_power_board *board, uint8_t command)
{
    trace(TRACE_POWER_BOARD, "read command 0x%02X", command);
    board->read_command = command;
}

void vx4_power_board_set_zero_buffer(vx4_power_board *board, int flag)
{
    trace(TRACE_POWER_BOARD, "zero buffer %d", flag);
    board->zero_buffer = flag;
}
