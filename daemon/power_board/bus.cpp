#include "power_board/bus.h"

#include <cstring>

#include "platform.h"
#include "power_board/bus_backend.h"

namespace {

bool simulated() { return vx4_platform().power_board.rfind("sim:", 0) == 0; }

const char *const result_texts[] = {
    "Success",
    "Feature not implemented",
    "Feature not supported by hardware",
    "Invalid verbosity level",
    "Invalid parameter",
    "Invalid handle",
    "No resources",
    "Invalid resource",
    "Invalid queue type",
    "No data available",
    "Invalid platform",
    "Platform not initialized",
    "UART OW: Bus short",
    "UART OW: No devices",
    "UART OW: Bus error",
};

}  // namespace

#define BUS_CALL(context, call) \
    ((context)->simulated ? vx4_bus_sim::call : vx4_bus_linux::call)

mraa_gpio_context mraa_gpio_init(int pin)
{
    auto *gpio = new _gpio{pin, simulated(), nullptr, nullptr};
    if (BUS_CALL(gpio, gpio_init(gpio)) != MRAA_SUCCESS) {
        delete gpio;
        return nullptr;
    }
    return gpio;
}

mraa_result_t mraa_gpio_dir(mraa_gpio_context gpio, mraa_gpio_dir_t dir)
{
    if (!gpio)
        return MRAA_ERROR_INVALID_HANDLE;
    return BUS_CALL(gpio, gpio_dir(gpio, dir));
}

mraa_result_t mraa_gpio_write(mraa_gpio_context gpio, int value)
{
    if (!gpio)
        return MRAA_ERROR_INVALID_HANDLE;
    return BUS_CALL(gpio, gpio_write(gpio, value ? 1 : 0));
}

mraa_result_t mraa_gpio_close(mraa_gpio_context gpio)
{
    if (!gpio)
        return MRAA_ERROR_INVALID_HANDLE;
    BUS_CALL(gpio, gpio_close(gpio));
    delete gpio;
    return MRAA_SUCCESS;
}

mraa_spi_context mraa_spi_init(int bus)
{
    auto *spi = new _spi{bus, simulated(), -1, 0};
    if (BUS_CALL(spi, spi_init(spi)) != MRAA_SUCCESS) {
        delete spi;
        return nullptr;
    }
    return spi;
}

mraa_result_t mraa_spi_mode(mraa_spi_context spi, mraa_spi_mode_t mode)
{
    if (!spi)
        return MRAA_ERROR_INVALID_HANDLE;
    if (mode < MRAA_SPI_MODE0 || mode > MRAA_SPI_MODE3)
        return MRAA_ERROR_INVALID_PARAMETER;
    return BUS_CALL(spi, spi_mode(spi, mode));
}

mraa_result_t mraa_spi_frequency(mraa_spi_context spi, int hz)
{
    if (!spi)
        return MRAA_ERROR_INVALID_HANDLE;
    if (hz <= 0)
        return MRAA_ERROR_INVALID_PARAMETER;
    return BUS_CALL(spi, spi_frequency(spi, hz));
}

mraa_result_t mraa_spi_lsbmode(mraa_spi_context spi, bool lsb)
{
    if (!spi)
        return MRAA_ERROR_INVALID_HANDLE;
    return BUS_CALL(spi, spi_lsbmode(spi, lsb));
}

mraa_result_t mraa_spi_transfer_buf(mraa_spi_context spi, const uint8_t *data, uint8_t *rx, int length)
{
    if (length > 0)
        memset(rx, 0, static_cast<size_t>(length));
    if (!spi)
        return MRAA_ERROR_INVALID_HANDLE;
    if (length < 1)
        return MRAA_ERROR_INVALID_PARAMETER;
    mraa_result_t result = BUS_CALL(spi, spi_transfer(spi, data, rx, length));
    if (result != MRAA_SUCCESS)
        memset(rx, 0, static_cast<size_t>(length));
    return result;
}

mraa_result_t mraa_spi_stop(mraa_spi_context spi)
{
    if (!spi)
        return MRAA_ERROR_INVALID_HANDLE;
    BUS_CALL(spi, spi_stop(spi));
    delete spi;
    return MRAA_SUCCESS;
}

const char *vx4_bus_result_text(int result)
{
    if (result >= 0 && result < static_cast<int>(sizeof result_texts / sizeof result_texts[0]))
        return result_texts[result];
    return "Unspecified error";
}
