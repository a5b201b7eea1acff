// Press-and-hold movements. Each press of a button, and each repetition while
// it is held, triggers a loop with a direction and a hold time; the loop's
// thread turns the triggers into one movement that speeds up the longer it
// lasts and ends shortly after the last trigger. Times are counted in 5 ms
// ticks, so they run somewhat long under load.
//
// The three loops share one mechanism and differ in their step:
// - zoom (tele up, wide down) and focus (far up, near down) start at the
//   speed in /tmp/zoom_speed or /tmp/focus_speed, go one speed faster every
//   2 s up to 7 (the file follows), and stop the camera at the end, when the
//   operator's speed goes back into the file;
// - intensity steps /tmp/intensity every 250 ms, by 1 for the first 2 s, by
//   3 up to 4 s and by 5 after that, between 0 and 100.
#pragma once

// Start the loop's thread; each is called once.
void vx4_create_zoom_loop();
void vx4_create_focus_loop();
void vx4_create_intensity_loop();

// Direction > 0 up, < 0 down. 1 when the movement starts or is prolonged to
// hold_ms from now; 0 for direction 0 or against the running movement
// (nothing changes).
int vx4_trigger_zoom_loop(int direction, int hold_ms);
int vx4_trigger_focus_loop(int direction, int hold_ms);
int vx4_trigger_intensity_loop(int direction, int hold_ms);

// End the movement; return once the loop's thread has finished it (camera
// stopped, speed file restored).
void vx4_stop_zoom_loop();
void vx4_stop_focus_loop();
void vx4_stop_intensity_loop();
