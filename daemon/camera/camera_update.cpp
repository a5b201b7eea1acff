#include "camera/camera_update.h"

#include <cstdio>

namespace {

void copy_text(char *buffer, size_t size, const char *text)
{
    if (buffer && size)
        snprintf(buffer, size, "%s", text);
}

}  // namespace

int visca_get_update_available(char *buffer, size_t size)
{
    copy_text(buffer, size, "");
    return 0;
}

void visca_load_update_version(char *buffer, size_t size) { copy_text(buffer, size, ""); }

int visca_start_update(visca_thread_record *, visca_update_done) { return 0; }

void visca_load_update_status(visca_thread_record *, char *step, size_t step_size, char *text_a, size_t text_a_size,
                              char *text_b, size_t text_b_size)
{
    copy_text(step, step_size, "0 of 0");
    copy_text(text_a, text_a_size, "not active");
    copy_text(text_b, text_b_size, "not active");
}
