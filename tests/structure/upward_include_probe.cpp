// Built on its own by the layering test: the power board may not see the
// logger above it, so this must not compile.
#include "logger/logger.h"
#include "power_board/power_board.h"

void probe() { vx4_report_logger_tilt_motor_warning(); }
