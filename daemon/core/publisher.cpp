#include "core/publisher.h"

#include <hiredis/hiredis.h>

#include "core/application.h"
#include "platform.h"

namespace {

ev_timer redis_timer;
vx4_readings_source readings_source;

// The loop thread waits for redis: an unreachable or stuck server must not
// hold it for long.
const timeval redis_timeout = {0, 500000};

void on_redis_timeout(struct ev_loop *, ev_timer *, int)
{
    vx4_published_readings readings;
    if (!readings_source(&readings))
        return;

    const vx4_platform_config &platform = vx4_platform();
    redisContext *redis = redisConnectWithTimeout(platform.redis_host.c_str(), platform.redis_port, redis_timeout);
    if (!redis)
        return;
    if (redis->err == 0 && redisSetTimeout(redis, redis_timeout) == REDIS_OK) {
        // Each reply is released unread; a failed command ends this second.
        void *reply = redisCommand(redis, "SET avr-voltage %f", readings.voltage);
        if (reply) {
            freeReplyObject(reply);
            reply = redisCommand(redis, "SET avr-temperature %f",
                                 readings.temperature);
        }
        if (reply) {
            freeReplyObject(reply);
            reply = redisCommand(redis, "SET vx4-motor-type %s", readings.motor_type);
        }
        if (reply)
            freeReplyObject(reply);
    }
    redisFree(redis);
}

}  // namespace

void vx4_start_redis_publisher(vx4_application *application, vx4_readings_source source)
{
    readings_source = source;
    ev_timer_init(&redis_timer, on_redis_timeout, 1.0, 1.0);
    ev_timer_start(application->loop, &redis_timer);
}
