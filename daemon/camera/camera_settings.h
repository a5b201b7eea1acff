// The camera settings layer: the operator's image options, the camera's
// known state after start-up, and the zoom magnification shown to the
// operator.
#pragma once

// The camera's current zoom position (-1 when no camera is published), its
// magnification (0 when unknown) and the magnification as text ("8.5x",
// "30x", "?"), cut to text_size - 1 characters. Any output may be null.
int vx4_load_camera_zoom_values(int *zoom_position, float *magnification, char *text, int text_size);
