// Inside the bus layer: the contexts and the two back-ends behind them.
#pragma once

#include <gpiod.h>

#include "power_board/bus.h"

struct _gpio {
    int pin;
    bool simulated;
    gpiod_chip *chip;
    gpiod_line *line;
};

struct _spi {
    int bus;
    bool simulated;
    int fd;
    uint32_t frequency;
};

// The unit's devices: spidev ioctls and GPIO lines through libgpiod.
namespace vx4_bus_linux {
mraa_result_t gpio_init(_gpio *gpio);
mraa_result_t gpio_dir(_gpio *gpio, mraa_gpio_dir_t dir);
mraa_result_t gpio_write(_gpio *gpio, int value);
void gpio_close(_gpio *gpio);
mraa_result_t spi_init(_spi *spi);
mraa_result_t spi_mode(_spi *spi, mraa_spi_mode_t mode);
mraa_result_t spi_frequency(_spi *spi, int hz);
mraa_result_t spi_lsbmode(_spi *spi, bool lsb);
mraa_result_t spi_transfer(_spi *spi, const uint8_t *data, uint8_t *rx, int length);
void spi_stop(_spi *spi);
}  // namespace vx4_bus_linux

// The simulated head's bus: one request line and one reply line per call.
namespace vx4_bus_sim {
mraa_result_t gpio_init(_gpio *gpio);
mraa_result_t gpio_dir(_gpio *gpio, mraa_gpio_dir_t dir);
mraa_result_t gpio_write(_gpio *gpio, int value);
void gpio_close(_gpio *gpio);
mraa_result_t spi_init(_spi *spi);
mraa_result_t spi_mode(_spi *spi, mraa_spi_mode_t mode);
mraa_result_t spi_frequency(_spi *spi, int hz);
mraa_result_t spi_lsbmode(_spi *spi, bool lsb);
mraa_result_t spi_transfer(_spi *spi, const uint8_t *data, uint8_t *rx, int length);
void spi_stop(_spi *spi);
}  // namespace vx4_bus_sim
