// The camera module's firmware update from the external stick. Until the
// loader dialogue is built no update is offered: available answers 0 with an
// empty path, the version is empty, a start answers 0 and the status reads
// "0 of 0", "not active", "not active".
#pragma once

#include <cstddef>

struct visca_thread_record;

using visca_update_done = void (*)();

int visca_get_update_available(char *buffer, size_t size);
void visca_load_update_version(char *buffer, size_t size);
// 1 when an update starts (done is called on the update thread when it has
// ended), 0 when there is none to start.
int visca_start_update(visca_thread_record *record, visca_update_done done);
void visca_load_update_status(visca_thread_record *record, char *step, size_t step_size, char *text_a,
                              size_t text_a_size, char *text_b, size_t text_b_size);
