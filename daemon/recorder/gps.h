// The position of the inspection from the operator's GPS: the last NMEA
// sentence a client sent and the latitude, longitude and time taken from it
// (or set directly), stamped into every recording and still image.
#pragma once

#include <cstddef>

// Parses a $GPGGA sentence into "%.5f" degrees (negative south and west) and
// "hh:mm:ss.ss UTC". 0, or -1 when it is another sentence, has too few
// fields or a field that is not a finite number. Each buffer gets at most
// size - 1 characters.
int vx4_parse_gps_sentence(const char *sentence, char *latitude, char *longitude, char *time, size_t size);

// Keeps the sentence (at most 80 characters) and, when it parses, the
// position from it. 0, or -1 when it does not parse (the sentence is kept,
// the position is not changed).
int vx4_set_recorder_gps_data(const char *sentence);
void vx4_load_recorder_gps_data(char *buffer, size_t size);
// Sets the three position texts directly, at most 20 characters each.
void vx4_set_recorder_gps_location(const char *latitude, const char *longitude, const char *time);
void vx4_load_recorder_gps_location(char *latitude, size_t latitude_size, char *longitude, size_t longitude_size,
                                    char *time, size_t time_size);
