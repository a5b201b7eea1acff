// The SPI bus and GPIO lines to the power board: the part of libmraa's
// interface the board uses, with libmraa's names and result codes. Two
// back-ends, chosen by VX4_POWER_BOARD: "spidev" (the unit's spidev device
// and GPIO character device) and "sim:PATH" (the simulated head's bus socket).
#pragma once

#include <cstdint>

enum mraa_result_t {
    MRAA_SUCCESS = 0,
    MRAA_ERROR_FEATURE_NOT_IMPLEMENTED = 1,
    MRAA_ERROR_FEATURE_NOT_SUPPORTED = 2,
    MRAA_ERROR_INVALID_VERBOSITY_LEVEL = 3,
    MRAA_ERROR_INVALID_PARAMETER = 4,
    MRAA_ERROR_INVALID_HANDLE = 5,
    MRAA_ERROR_NO_RESOURCES = 6,
    MRAA_ERROR_INVALID_RESOURCE = 7,
    MRAA_ERROR_INVALID_QUEUE_TYPE = 8,
    MRAA_ERROR_NO_DATA_AVAILABLE = 9,
    MRAA_ERROR_INVALID_PLATFORM = 10,
    MRAA_ERROR_PLATFORM_NOT_INITIALISED = 11,
    MRAA_ERROR_UART_OW_SHORTED = 12,
    MRAA_ERROR_UART_OW_NO_DEVICES = 13,
    MRAA_ERROR_UART_OW_DATA_ERROR = 14,
    MRAA_ERROR_UNSPECIFIED = 99,
};

enum mraa_gpio_dir_t { MRAA_GPIO_OUT = 0, MRAA_GPIO_IN = 1 };

enum mraa_spi_mode_t { MRAA_SPI_MODE0 = 0, MRAA_SPI_MODE1 = 1, MRAA_SPI_MODE2 = 2, MRAA_SPI_MODE3 = 3 };

typedef struct _gpio *mraa_gpio_context;
typedef struct _spi *mraa_spi_context;

// Opens a GPIO line by its libmraa number; nullptr when it cannot.
mraa_gpio_context mraa_gpio_init(int pin);
mraa_result_t mraa_gpio_dir(mraa_gpio_context gpio, mraa_gpio_dir_t dir);
mraa_result_t mraa_gpio_write(mraa_gpio_context gpio, int value);
mraa_result_t mraa_gpio_close(mraa_gpio_context gpio);

// Opens SPI bus n; nullptr when it cannot.
mraa_spi_context mraa_spi_init(int bus);
mraa_result_t mraa_spi_mode(mraa_spi_context spi, mraa_spi_mode_t mode);
mraa_result_t mraa_spi_frequency(mraa_spi_context spi, int hz);
mraa_result_t mraa_spi_lsbmode(mraa_spi_context spi, bool lsb);
// Full duplex: sends length bytes of data and stores what came back in rx.
// On failure rx holds zeros, as from a board that does not drive the line.
mraa_result_t mraa_spi_transfer_buf(mraa_spi_context spi, const uint8_t *data, uint8_t *rx, int length);
mraa_result_t mraa_spi_stop(mraa_spi_context spi);

// The text of a result code, as start-up failure messages print it.
const char *vx4_bus_result_text(int result);
