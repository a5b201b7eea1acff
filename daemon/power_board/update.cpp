// The power board firmware update thread: waits for a hand-over from the
// service thread and runs one update at a time.
#include "power_board/power_board_internal.h"

#include "core/trace.h"

void *vx4_power_board_update_thread(void *argument)
{
    auto *board = static_cast<vx4_power_board *>(argument);
    pthread_mutex_lock(&board->update_lock);
    for (;;) {
        while (!board->update_active && !board->update_quit)
            pthread_cond_wait(&board->update_condition, &board->update_lock);
        if (board->update_quit)
            break;
        // Placeholder until images are programmed: the update ends at once,
        // so the board is never left with its traffic suspended.
        trace(TRACE_POWER_BOARD, "update end");
        board->update_active = 0;
        if (board->update_done)
            board->update_done();
    }
    pthread_mutex_unlock(&board->update_lock);
    return nullptr;
}
