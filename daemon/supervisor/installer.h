// Updates from the external USB stick: a software package for the unit's
// own software, power board firmware and camera module firmware. One update
// runs at a time; its progress reads as a type and three short texts.
//
// The software update runs the unit's install script on the package and
// then reboots through the supervisor, which sits above the installer: the
// reboot is a callback that main hands over at start.
#pragma once

#include <cstddef>

struct vx4_installer_events {
    // The supervisor's shutdown; called with 2 (reboot) when the install
    // script has ended.
    void (*trigger_shutdown)(int mode);
};

// Starts the installer thread; events may be null (no reboot). Returns the
// thread creation's result.
int vx4_start_installer(const vx4_installer_events *events);

// 1 when an update of the kind is on the stick (its path copied into the
// buffer when one is given, cut to the buffer and terminated), else 0.
int vx4_get_installer_software_update_available(char *buffer, size_t size);
int vx4_get_installer_firmware_update_available(char *buffer, size_t size);
int vx4_get_installer_camera_update_available(char *buffer, size_t size);
// The version each update carries; empty without one.
void vx4_load_installer_software_update_version(char *buffer, size_t size);
void vx4_load_installer_firmware_update_version(char *buffer, size_t size);
void vx4_load_installer_camera_update_version(char *buffer, size_t size);

// Each starts its update and returns 1 (or the link's non-zero answer), or
// 0 when nothing started: no update of that kind, or another one running.
int vx4_trigger_software_update();
int vx4_trigger_firmware_update();
int vx4_trigger_camera_update();

// The update type ("none", "software", "firmware" or "camera"), the step
// ("%d of %d") and the two texts of the running or last update.
void vx4_load_installer_status(char *type, size_t type_size, char *step, size_t step_size, char *text_a,
                               size_t text_a_size, char *text_b, size_t text_b_size);

// The package's version: its file name after the last '_' and before the
// last '.' ("vx4_730-00512_update_1.1.zip" gives "1.1").
void vx4_installer_package_version(const char *path, char *buffer, size_t size);
// Phase and detail of one line of the install script: the phase is the
// first word, the detail the first word after the first space that follows
// it; spaces and ':' end words. false when the line has no detail.
bool vx4_installer_parse_step(const char *line, char *phase, size_t phase_size, char *detail, size_t detail_size);
