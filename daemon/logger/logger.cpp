// Placeholder until the statistics are kept: each report is only traced.
#include "logger/logger.h"

#include "core/trace.h"

void vx4_report_logger_internal_pressure(double sample)
{
    trace(TRACE_LOGGER, "vx4_report_logger_internal_pressure(%.2f)", sample);
}

void vx4_report_logger_internal_humidity(double sample)
{
    trace(TRACE_LOGGER, "vx4_report_logger_internal_humidity(%.2f)", sample);
}

void vx4_report_logger_tilt_motor_warning() { trace(TRACE_LOGGER, "vx4_report_logger_tilt_motor_warning()"); }

void vx4_report_logger_height_motor_warning() { trace(TRACE_LOGGER, "vx4_report_logger_height_motor_warning()"); }

void vx4_report_logger_pan_motor_warning() { trace(TRACE_LOGGER, "vx4_report_logger_pan_motor_warning()"); }

void vx4_report_logger_high_pressure_warning() { trace(TRACE_LOGGER, "vx4_report_logger_high_pressure_warning()"); }

void vx4_report_logger_high_humidity_warning() { trace(TRACE_LOGGER, "vx4_report_logger_high_humidity_warning()"); }
