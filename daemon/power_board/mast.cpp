// The mast of the advanced model: motor type detection, homing and height
// moves, evaluated once per refresh on the service thread.
#include "power_board.h"

// Placeholder until the motors are driven: the mast stays as initialised.
void vx4_power_board_refresh_mast(vx4_power_board *) {}
