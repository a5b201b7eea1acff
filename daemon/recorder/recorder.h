// The recorder: one recording at a time of the camera's main stream, made by
// an ffmpeg child into the eMMC work folder, then post-processed (duration,
// marked still images, WebVTT file, copy to the internal stick with progress,
// record, XMP) before its eMMC copy goes.
//
// A recording is written as fragmented MP4, so a power cut, a killed daemon
// or a killed ffmpeg leaves a file that plays up to its last second; the
// guid file marks it unfinished and the record thread finishes it at the
// next start. The eMMC copy is removed only once the copy on the stick is
// whole, flushed and of the same length.
//
// Calls upward (the on-screen display, the supervisor) go through the hooks
// main hands over; a null member is not called.
#pragma once

#include <cstdint>

#include "recorder/media_metadata.h"

struct vx4_recorder_hooks {
    // On-screen display: 1 when a recording has started, 0 when it ended.
    void (*update_osd_recorder_activity)(int active);
    // Supervisor: 1 while the operator's stick is mounted and no eject is
    // pending. Not wired: the platform's view of the mount.
    int (*is_external_usb_mounted)();
};

// Creates the folders, measures the stores, loads the texts, the model and
// serial number, and starts the record, copy and delete threads. The record
// thread first finishes a recording left unfinished. 0, or -1 when a thread
// could not be started.
int vx4_create_recorder(const vx4_recorder_hooks *hooks);
// At the daemon's end: a running recording child finishes its file and
// ends; its post-processing is left to the next start. Waits a few seconds
// at most.
void vx4_finish_recorder();

// 0 when done, -1 when refused or failed. A start answers once the
// recording child runs (or could not be started).
int vx4_start_recorder();
int vx4_stop_recorder();
int vx4_pause_recorder();
int vx4_resume_recorder();
// Marks a still image at now plus the save delay, or removes the last mark.
int vx4_save_recorder_image();
int vx4_remove_recorder_image();
// A controller is present: the recording goes on for 30 s more.
void vx4_service_recorder_watchdog();

int vx4_get_recorder_recording();
int vx4_get_recorder_paused();
// 0 idle, 1 from the start of post-processing, then the copy's percent.
int vx4_get_recorder_post_processing();
// Free space of the eMMC work folder and the internal stick in kB; while
// recording, the stick's less the recording's size.
int64_t vx4_get_recorder_emmc_kb();
int64_t vx4_get_recorder_usb_kb();
unsigned vx4_get_recorder_save_delay();
// Refused (-1) above 5000 ms.
int vx4_set_recorder_save_delay(unsigned milliseconds);

// Metadata of the current or next video, of the last or next still image,
// and of a file in the store (a single name; -1 when it has no packet).
void vx4_load_recorder_video_metadata(vx4_media_metadata *metadata);
void vx4_load_recorder_image_metadata(vx4_media_metadata *metadata);
int vx4_load_recorder_file_metadata(const char *name, vx4_media_metadata *metadata);
// Notes: of the running recording (else of the next), of the last mark
// (else of the next), of a file in the store (at most 512 characters).
int vx4_set_recorder_video_note(const char *text);
int vx4_set_recorder_image_note(const char *text);
int vx4_set_recorder_file_note(const char *name, const char *text);
