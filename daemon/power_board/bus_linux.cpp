// The unit's bus: SPI through the spidev driver, GPIO lines through the GPIO
// character device. Thin on purpose: each call is one driver request.
#include <fcntl.h>
#include <linux/spi/spidev.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform.h"
#include "power_board/bus_backend.h"

namespace {

// libmraa numbers the pins of the unit's 40-pin header; these are the SoC
// lines behind the three the power board uses.
struct gpio_line {
    int pin;
    const char *chip;
    unsigned int offset;
};

const gpio_line gpio_lines[] = {
    {24, "/dev/gpiochip0", 8},   // chip select
    {13, "/dev/gpiochip0", 27},  // bootloader: reset
    {15, "/dev/gpiochip0", 22},  // bootloader: boot mode select
};

const gpio_line *find_line(int pin)
{
    for (const gpio_line &line : gpio_lines)
        if (line.pin == pin)
            return &line;
    return nullptr;
}

}  // namespace

namespace vx4_bus_linux {

mraa_result_t gpio_init(_gpio *gpio)
{
    const gpio_line *line = find_line(gpio->pin);
    if (!line)
        return MRAA_ERROR_INVALID_RESOURCE;
    gpio->chip = gpiod_chip_open(vx4_path(line->chip).c_str());
    if (!gpio->chip)
        return MRAA_ERROR_NO_RESOURCES;
    gpio->line = gpiod_chip_get_line(gpio->chip, line->offset);
    if (!gpio->line) {
        gpiod_chip_close(gpio->chip);
        return MRAA_ERROR_INVALID_RESOURCE;
    }
    return MRAA_SUCCESS;
}

mraa_result_t gpio_dir(_gpio *gpio, mraa_gpio_dir_t dir)
{
    if (gpiod_line_is_requested(gpio->line))
        gpiod_line_release(gpio->line);
    int done = dir == MRAA_GPIO_OUT ? gpiod_line_request_output(gpio->line, "vx4-api", 0)
                                    : gpiod_line_request_input(gpio->line, "vx4-api");
    return done == 0 ? MRAA_SUCCESS : MRAA_ERROR_INVALID_RESOURCE;
}

mraa_result_t gpio_write(_gpio *gpio, int value)
{
    return gpiod_line_set_value(gpio->line, value) == 0 ? MRAA_SUCCESS : MRAA_ERROR_INVALID_RESOURCE;
}

void gpio_close(_gpio *gpio)
{
    if (gpiod_line_is_requested(gpio->line))
        gpiod_line_release(gpio->line);
    gpiod_chip_close(gpio->chip);
}

mraa_result_t spi_init(_spi *spi)
{
    std::string device = "/dev/spidev" + std::to_string(spi->bus) + ".0";
    spi->fd = open(vx4_path(device).c_str(), O_RDWR | O_CLOEXEC);
    return spi->fd < 0 ? MRAA_ERROR_INVALID_RESOURCE : MRAA_SUCCESS;
}

mraa_result_t spi_mode(_spi *spi, mraa_spi_mode_t mode)
{
    uint8_t bits = static_cast<uint8_t>(mode);  // CPHA is bit 0, CPOL bit 1, as the modes number them
    return ioctl(spi->fd, SPI_IOC_WR_MODE, &bits) < 0 ? MRAA_ERROR_INVALID_RESOURCE : MRAA_SUCCESS;
}

mraa_result_t spi_frequency(_spi *spi, int hz)
{
    uint32_t speed = static_cast<uint32_t>(hz);
    if (ioctl(spi->fd, SPI_IOC_WR_MAX_SPEED_HZ, &speed) < 0)
        return MRAA_ERROR_INVALID_RESOURCE;
    spi->frequency = speed;
    return MRAA_SUCCESS;
}

mraa_result_t spi_lsbmode(_spi *spi, bool lsb)
{
    uint8_t first = lsb ? 1 : 0;
    return ioctl(spi->fd, SPI_IOC_WR_LSB_FIRST, &first) < 0 ? MRAA_ERROR_INVALID_RESOURCE : MRAA_SUCCESS;
}

mraa_result_t spi_transfer(_spi *spi, const uint8_t *data, uint8_t *rx, int length)
{
    spi_ioc_transfer transfer;
    memset(&transfer, 0, sizeof transfer);
    transfer.tx_buf = reinterpret_cast<uintptr_t>(data);
    transfer.rx_buf = reinterpret_cast<uintptr_t>(rx);
    transfer.len = static_cast<uint32_t>(length);
    transfer.speed_hz = spi->frequency;
    transfer.bits_per_word = 8;
    return ioctl(spi->fd, SPI_IOC_MESSAGE(1), &transfer) < 1 ? MRAA_ERROR_INVALID_RESOURCE : MRAA_SUCCESS;
}

void spi_stop(_spi *spi)
{
    close(spi->fd);
    spi->fd = -1;
}

}  // namespace vx4_bus_linux
