#include "publisher.h"

#include <hiredis/hiredis.h>

#include "application.h"
#include "platform.h"
#include "power_board.h"

namespace {

ev_timer redis_timer;

// The loop thread waits for redis: an unreachable or stuck server must not
// hold it for long.
const timeval redis_timeout = {0, 500000};

const char *motor_type_text(uint8_t type)
{
    return type == 1 ? "height" : type == 2 ? "pan" : "none";
}

void on_redis_timeout(struct ev_loop *, ev_timer *, int)
{
    if (!power_board_instance)
        return;
    vx4_power_board_registers registers;
    vx4_power_board_load_registers(power_board_instance, &registers);

    const vx4_platform_config &platform = vx4_platform();
    redisContext *redis = redisConnectWithTimeout(platform.redis_host.c_str(), platform.redis_port, redis_timeout);
    if (!redis)
        return;
    if (redis->err == 0 && redisSetTimeout(redis, redis_timeout) == REDIS_OK) {
        // Each reply is released unread; a failed command ends this second.
        void *reply = redisCommand(redis, "SET avr-voltage %f", static_cast<double>(registers.pb_monitor_vin_volts));
        if (reply) {
            freeReplyObject(reply);
            reply = redisCommand(redis, "SET avr-temperature %f",
                                 static_cast<double>(registers.pb_bme280_temperature));
        }
        if (reply) {
            freeReplyObject(reply);
            reply = redisCommand(redis, "SET vx4-motor-type %s", motor_type_text(registers.pb_motor_type));
        }
        if (reply)
            freeReplyObject(reply);
    }
    redisFree(redis);
}

}  // namespace

void vx4_start_redis_publisher(vx4_application *application)
{
    ev_timer_init(&redis_timer, on_redis_timeout, 1.0, 1.0);
    ev_timer_start(application->loop, &redis_timer);
}
