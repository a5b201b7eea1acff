// Press-and-hold movements. Each press of a button, and each repetition while
// it is held, triggers a loop with a direction and a hold time; the loop's
// thread turns the triggers into one movement that speeds up the longer it
// lasts and ends shortly after the last trigger. Times are counted in 5 ms
// ticks, so they run somewhat long under load.
#pragma once

// The LED intensity loop: steps the intensity in /tmp/intensity every
// 250 ms, by 1 for the first 2 s, by 3 up to 4 s and by 5 after that,
// between 0 and 100. Starts its thread; called once.
void vx4_create_intensity_loop();
// Direction > 0 up, < 0 down. 1 when the movement starts or is prolonged to
// hold_ms from now; 0 for direction 0 or against the running movement
// (nothing changes).
int vx4_trigger_intensity_loop(int direction, int hold_ms);
// Ends the movement; returns once the loop's thread has finished it.
void vx4_stop_intensity_loop();
