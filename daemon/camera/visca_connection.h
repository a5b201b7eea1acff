// The camera's VISCA link.
//
// Stand-in: only the camera update flag the power board reads, until the
// VISCA link itself replaces this file.
#pragma once

struct visca_thread_record {
    int update_active;  // 1 while a camera firmware update runs
};

extern visca_thread_record visca_thread_data;

int visca_update_active(visca_thread_record *record);
