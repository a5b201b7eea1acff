// Operating statistics: samples and warnings reported by the other modules.
#pragma once

void vx4_report_logger_internal_pressure(double sample);
void vx4_report_logger_internal_humidity(double sample);
void vx4_report_logger_tilt_motor_warning();
void vx4_report_logger_height_motor_warning();
void vx4_report_logger_pan_motor_warning();
void vx4_report_logger_high_pressure_warning();
void vx4_report_logger_high_humidity_warning();
