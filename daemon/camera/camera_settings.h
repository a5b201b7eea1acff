// The camera settings layer: the operator's image options, the camera's
// known state after start-up, and the zoom magnification shown to the
// operator.
//
// The work that waits for the camera runs on the camera settings thread:
// the power-up sequence, the controller defaults and the IR filter. The
// options are also applied again each time the link to the camera comes
// back, since the camera module forgets them when its power is cycled.
#pragma once

#include <cstddef>

// Reads the options from the settings store, starts the camera settings
// thread and asks it for the power-up sequence, which waits up to
// power_up_wait_s seconds for the camera before it gives up (tests shorten
// it). Called once, after the VISCA thread has started.
void vx4_init_camera(int power_up_wait_s = 90);

// Zoom to wide, auto focus, auto exposure and the IR filter if asked; on the
// camera settings thread. Returns at once.
void vx4_set_controller_defaults();

// The option's text form ("off", "on", "normal", "high", "auto", "low",
// "mid"), cut to size - 1 characters and always terminated.
void vx4_load_camera_invert_image(char *text, size_t size);
void vx4_load_camera_image_stabilizer(char *text, size_t size);
void vx4_load_camera_sensitivity(char *text, size_t size);
void vx4_load_camera_ir_filter(char *text, size_t size);
void vx4_load_camera_defog(char *text, size_t size);

// Set an option from its text form (exact, case-sensitive) and keep it in
// the settings store. 0 when set or unchanged; -1 for an unknown text, or
// when no camera is there to take it (nothing changes then). The IR filter
// needs no camera: the camera settings thread applies it when it can.
int vx4_set_camera_invert_image(const char *text);
int vx4_set_camera_image_stabilizer(const char *text);
int vx4_set_camera_sensitivity(const char *text);
int vx4_set_camera_ir_filter(const char *text);
int vx4_set_camera_defog(const char *text);

// The camera's current zoom position (-1 when no camera is published), its
// magnification (0 when unknown) and the magnification as text ("8.5x",
// "30x", "?"), cut to text_size - 1 characters. Any output may be null.
int vx4_load_camera_zoom_values(int *zoom_position, float *magnification, char *text, int text_size);
