#include "supervisor/supervisor_redis.h"

#include <hiredis/adapters/libev.h>
#include <hiredis/async.h>
#include <hiredis/hiredis.h>

#include "platform.h"

namespace {

// Callers of the blocking calls are API and service threads: the wait is
// short, whatever the server does.
const timeval call_timeout = {0, 300000};
constexpr double query_seconds = 1.0;

redisContext *connect_bounded()
{
    const vx4_platform_config &platform = vx4_platform();
    redisContext *redis = redisConnectWithTimeout(platform.redis_host.c_str(), platform.redis_port, call_timeout);
    if (redis && (redis->err || redisSetTimeout(redis, call_timeout) != REDIS_OK)) {
        redisFree(redis);
        return nullptr;
    }
    return redis;
}

struct async_query {
    struct ev_loop *loop = nullptr;
    redisAsyncContext *context = nullptr;
    ev_timer guard;
    vx4_redis_get_done done = nullptr;
    bool answered = false;
};
async_query query;

void report(vx4_redis_result result, const char *text)
{
    if (query.answered)
        return;
    query.answered = true;
    if (query.done)
        query.done(result, text);
}

void on_reply(redisAsyncContext *context, void *data, void *)
{
    auto *reply = static_cast<redisReply *>(data);
    if (reply && reply->type == REDIS_REPLY_STRING)
        report(VX4_REDIS_TEXT, reply->str);
    else
        report(VX4_REDIS_NO_TEXT, "");
    if (reply)
        redisAsyncDisconnect(context);
}

// The context is about to be freed by hiredis: forget it.
void forget(const redisAsyncContext *context)
{
    if (context != query.context)
        return;
    query.context = nullptr;
    ev_timer_stop(query.loop, &query.guard);
}

void on_connect(const redisAsyncContext *context, int status)
{
    if (status == REDIS_OK)
        return;
    // A failed connection is freed without a disconnect callback.
    forget(context);
    report(VX4_REDIS_NO_TEXT, "");
}

void on_disconnect(const redisAsyncContext *context, int)
{
    forget(context);
    report(VX4_REDIS_NO_TEXT, "");
}

void on_guard(struct ev_loop *loop, ev_timer *, int)
{
    redisAsyncContext *context = query.context;
    query.context = nullptr;
    ev_timer_stop(loop, &query.guard);
    report(VX4_REDIS_NO_TEXT, "");
    if (context)
        redisAsyncFree(context);
}

}  // namespace

vx4_redis_result vx4_supervisor_redis_get(const char *key, std::string *value)
{
    value->clear();
    redisContext *redis = connect_bounded();
    if (!redis)
        return VX4_REDIS_NO_CONTEXT;
    auto *reply = static_cast<redisReply *>(redisCommand(redis, "GET %s", key));
    vx4_redis_result result = VX4_REDIS_NO_TEXT;
    if (reply && reply->type == REDIS_REPLY_STRING) {
        value->assign(reply->str, reply->len);
        result = VX4_REDIS_TEXT;
    }
    if (reply)
        freeReplyObject(reply);
    redisFree(redis);
    return result;
}

int vx4_supervisor_redis_set(const char *key, const char *value, std::string *text)
{
    text->clear();
    redisContext *redis = connect_bounded();
    if (!redis)
        return -1;
    auto *reply = static_cast<redisReply *>(redisCommand(redis, "SET %s %s", key, value));
    int result = -1;
    if (reply) {
        if (reply->str)
            text->assign(reply->str, reply->len);
        if (reply->type == REDIS_REPLY_STATUS && *text == "OK")
            result = 0;
        freeReplyObject(reply);
    }
    redisFree(redis);
    return result;
}

bool vx4_supervisor_redis_get_async(struct ev_loop *loop, const char *key, vx4_redis_get_done done)
{
    if (query.context)
        return false;
    query.loop = loop;
    query.done = done;
    query.answered = false;
    ev_timer_init(&query.guard, on_guard, query_seconds, 0.0);
    const vx4_platform_config &platform = vx4_platform();
    redisAsyncContext *context = redisAsyncConnect(platform.redis_host.c_str(), platform.redis_port);
    if (!context) {
        report(VX4_REDIS_NO_CONTEXT, "");
        return true;
    }
    if (context->err || redisLibevAttach(loop, context) != REDIS_OK) {
        redisAsyncFree(context);
        report(VX4_REDIS_NO_TEXT, "");
        return true;
    }
    query.context = context;
    redisAsyncSetConnectCallback(context, on_connect);
    redisAsyncSetDisconnectCallback(context, on_disconnect);
    if (redisAsyncCommand(context, on_reply, nullptr, "GET %s", key) != REDIS_OK) {
        query.context = nullptr;
        redisAsyncFree(context);
        report(VX4_REDIS_NO_TEXT, "");
        return true;
    }
    ev_timer_start(loop, &query.guard);
    return true;
}
