#include "core/publisher.h"

#include <hiredis/async.h>
#include <hiredis/hiredis.h>

#include "core/application.h"
#include "platform.h"

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"
#include <hiredis/adapters/libev.h>
#pragma GCC diagnostic pop

namespace {

// The publisher never waits for redis: one connection, asynchronous on the
// loop. A server that neither connects nor answers within this time (stopped,
// stuck) is dropped and reached again afresh.
constexpr ev_tstamp stall_limit = 3.0;

struct ev_loop *loop;
ev_timer redis_timer;
vx4_readings_source readings_source;
redisAsyncContext *redis;
bool connected;
int unanswered;        // commands of the last round still without a reply
ev_tstamp waiting_since;

void on_connect(const redisAsyncContext *context, int status)
{
    if (context != redis)
        return;
    if (status == REDIS_OK)
        connected = true;
    else
        redis = nullptr;  // hiredis frees it
}

void on_disconnect(const redisAsyncContext *context, int)
{
    if (context == redis)
        redis = nullptr;
}

void on_reply(redisAsyncContext *context, void *, void *)
{
    if (context == redis && unanswered > 0)
        --unanswered;
}

void drop_connection()
{
    redisAsyncContext *stale = redis;
    redis = nullptr;
    redisAsyncFree(stale);
}

bool connect_redis()
{
    const vx4_platform_config &platform = vx4_platform();
    redisAsyncContext *context = redisAsyncConnect(platform.redis_host.c_str(), platform.redis_port);
    if (!context)
        return false;
    if (context->err || redisLibevAttach(loop, context) != REDIS_OK) {
        redisAsyncFree(context);
        return false;
    }
    redisAsyncSetConnectCallback(context, on_connect);
    redisAsyncSetDisconnectCallback(context, on_disconnect);
    redis = context;
    connected = false;
    unanswered = 0;
    return true;
}

void on_redis_timeout(struct ev_loop *, ev_timer *, int)
{
    ev_tstamp now = ev_now(loop);
    if (redis && (!connected || unanswered > 0) && now - waiting_since > stall_limit)
        drop_connection();
    vx4_published_readings readings;
    if (!readings_source(&readings))
        return;
    if (!redis && !connect_redis())
        return;  // this second's values are skipped
    // Until the last round is answered, newer values wait for the next second.
    if (unanswered > 0)
        return;
    waiting_since = now;
    unanswered += redisAsyncCommand(redis, on_reply, nullptr, "SET avr-voltage %f", readings.voltage) == REDIS_OK;
    unanswered += redisAsyncCommand(redis, on_reply, nullptr, "SET avr-temperature %f", readings.temperature) ==
                  REDIS_OK;
    unanswered += redisAsyncCommand(redis, on_reply, nullptr, "SET vx4-motor-type %s", readings.motor_type) ==
                  REDIS_OK;
}

}  // namespace

void vx4_start_redis_publisher(vx4_application *application, vx4_readings_source source)
{
    loop = application->loop;
    readings_source = source;
    ev_timer_init(&redis_timer, on_redis_timeout, 1.0, 1.0);
    ev_timer_start(loop, &redis_timer);
}
