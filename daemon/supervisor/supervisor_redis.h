// The supervisor's values in the local redis server (battery type, model
// name, serial number). Callers off the event loop use one short-lived
// connection per call, bounded in time; the loop's own query is
// asynchronous on the loop, so a stuck server never holds it.
#pragma once

#include <ev.h>

#include <string>

enum vx4_redis_result {
    VX4_REDIS_TEXT = 0,        // a text reply came
    VX4_REDIS_NO_TEXT = 1,     // a reply without text, an error reply, or none in time
    VX4_REDIS_NO_CONTEXT = 2,  // no connection object could be created
};

// GET key. value holds the reply text for VX4_REDIS_TEXT, else is empty.
vx4_redis_result vx4_supervisor_redis_get(const char *key, std::string *value);
// SET key value. reply holds the reply's text (a status, an error or
// empty). 0 when the server answered OK, -1 otherwise.
int vx4_supervisor_redis_set(const char *key, const char *value, std::string *reply);

using vx4_redis_get_done = void (*)(vx4_redis_result result, const char *text);
// GET key on the loop; done is called on the loop once, with the reply or
// VX4_REDIS_NO_TEXT when the server cannot be reached or does not answer
// within a second. false, and nothing sent, while the previous query waits.
bool vx4_supervisor_redis_get_async(struct ev_loop *loop, const char *key, vx4_redis_get_done done);
