// The one-second publisher of power board readings into the local redis
// server, for other software on the computer.
#pragma once

// What is published: the board's input voltage and temperature, and its
// motor type ("height", "pan" or "none").
struct vx4_published_readings {
    double voltage;
    double temperature;
    const char *motor_type;
};

// Fills the readings; false when there is nothing to publish yet.
using vx4_readings_source = bool (*)(vx4_published_readings *readings);

struct vx4_application;

// Starts the timer on the application's loop: first after 1 s, then every
// second. Each run publishes "avr-voltage", "avr-temperature" and
// "vx4-motor-type" from the source (main reads them off the power board).
// Nothing waits for redis: one asynchronous connection on the loop, made
// again when it breaks or the server stops answering.
void vx4_start_redis_publisher(vx4_application *application, vx4_readings_source source);
