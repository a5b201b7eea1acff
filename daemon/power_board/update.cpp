// The power board firmware update thread: waits for a hand-over from the
// service thread and runs one update at a time.
#include "power_board/power_board_internal.h"

#include <cstdio>

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

namespace {

void copy_text(char *buffer, size_t size, const char *text)
{
    if (buffer && size)
        snprintf(buffer, size, "%s", text);
}

}  // namespace

int vx4_power_board_get_update_available(vx4_power_board *, char *buffer, size_t size)
{
    copy_text(buffer, size, "");
    return 0;
}

void vx4_power_board_load_update_version(vx4_power_board *, char *buffer, size_t size) { copy_text(buffer, size, ""); }

int vx4_power_board_trigger_firmware_update(vx4_power_board *, void (*)()) { return 0; }

void vx4_power_board_load_update_status(vx4_power_board *board, char *progress, size_t progress_size,
                                        char *stage, size_t stage_size, char *detail, size_t detail_size)
{
    if (!board) {
        copy_text(progress, progress_size, "0 of 0");
        copy_text(stage, stage_size, "not active");
        copy_text(detail, detail_size, "not active");
        return;
    }
    pthread_mutex_lock(&board->update_status_lock);
    copy_text(progress, progress_size, board->update_progress);
    copy_text(stage, stage_size, board->update_stage);
    copy_text(detail, detail_size, board->update_detail);
    pthread_mutex_unlock(&board->update_status_lock);
}
