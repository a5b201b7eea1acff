// The one-second publisher of power board readings into the local redis
// server, for other software on the computer.
#pragma once

struct vx4_application;

// Starts the timer on the application's loop: first after 1 s, then every
// second. Each run publishes "avr-voltage", "avr-temperature" and
// "vx4-motor-type" of power_board_instance.
void vx4_start_redis_publisher(vx4_application *application);
