#include "api/api_thread.h"

#include "api/api_state.h"
#include "api/lighting.h"
#include "api/routes.h"
#include "api/seats.h"
#include "core/trace.h"
#include "http/http_server.h"
#include "platform.h"

void *http_server_thread(void *)
{
    trace(TRACE_HTTP_SERVER, "thread start");
    http_server *server = http_server_init(vx4_platform().api_port, API_CONNECTION_LIMIT);
    if (!server)
        return reinterpret_cast<void *>(-1);
    vx4_init_api_state();
    vx4_register_api_routes(server);
    for (;;)
        http_server_process_events(server, API_WAIT_MS);
}

void vx4_attach_api_timers(struct ev_loop *loop)
{
    vx4_attach_seat_timer(loop);
    vx4_attach_high_beam_timer(loop);
}

void vx4_detach_api_timers()
{
    vx4_detach_seat_timer();
    vx4_detach_high_beam_timer();
}
