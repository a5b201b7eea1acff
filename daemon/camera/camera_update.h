// The camera module's firmware update from the external stick
// (camera_update_*.bin, the last name in byte order). The update thread
// takes over while the VISCA thread has closed its connection and waits: on
// a connection of its own it puts the module into its loader with VISCA
// exchanges, talks to the loader ("ready", "reprogram", "receive"), sends
// the image as X-Modem-1K with CRC and waits for "reboot". Progress shows as
// three short texts: the step ("%d of %d"), text A and text B.
#pragma once

#include <cstddef>

struct visca_thread_record;

using visca_update_done = void (*)();

// Called by the VISCA thread at its start: the texts at rest ("0 of 0",
// "not active", "not active") and the update thread.
void visca_init_update(visca_thread_record *record);
// 1 when an update file is there: its path is kept, done is kept (called on
// the update thread once the update has ended) and the VISCA thread is asked
// to step aside. 0 when there is no file or an update is under way.
int visca_start_update(visca_thread_record *record, visca_update_done done);
// 1 when an update file is there (its unit path copied into a buffer when
// one is given, cut to size - 1 and terminated), else 0.
int visca_get_update_available(char *buffer, size_t size);
// The file's version ("1.2" for camera_update_1.2.bin); "" without a file.
void visca_load_update_version(char *buffer, size_t size);
// The three texts as last reported, each cut to its size - 1 and terminated.
void visca_load_update_status(visca_thread_record *record, char *step, size_t step_size, char *text_a,
                              size_t text_a_size, char *text_b, size_t text_b_size);

// Test aid: the length of the update's one-second ticks (its delays and the
// pause at its end) as a fraction of a second; 1 by default.
void visca_set_update_time_scale(double scale);
