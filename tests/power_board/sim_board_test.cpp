// The simulated power board's own checks, on which every board test relies to
// fail when the daemon drives the bus wrongly: a transfer without chip
// select, a command byte not bit-reversed or the controller in the wrong mode
// is recorded as a bus error (and the first two are not applied). Bit order
// on reads shows in every reading the daemon decodes.
#include <sys/un.h>

#include "support.h"

using namespace vx4test;

namespace {

TEST(SimBoardBus, DriverFaultsAreRecordedAndNotApplied)
{
    SandboxRoot root;
    std::string path = root.path() + "/board.sock";
    SimHead sim(root, {"--bus=" + path});
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path, path.c_str(), path.size() + 1);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    // One request line, one reply line.
    auto ask = [fd](const std::string &line) {
        EXPECT_TRUE(send_all(fd, line + "\n"));
        std::string reply;
        char c;
        for (pollfd watch{fd, POLLIN, 0}; poll(&watch, 1, 5000) == 1 && recv(fd, &c, 1, 0) == 1 && c != '\n';)
            reply += c;
        return reply;
    };
    // "01C0" writes 0x03 to register 0: a power-off request, which the board counts.
    for (const char *line : {"GPIO 24 INIT", "GPIO 24 DIR OUT", "GPIO 24 WRITE 1", "SPI 0 INIT", "SPI MODE 2",
                             "SPI FREQ 100000", "SPI LSB 0", "SPI XFER 01C0", "GPIO 24 WRITE 0", "SPI XFER 80C0",
                             "GPIO 24 WRITE 1", "SPI MODE 0", "GPIO 24 WRITE 0", "SPI XFER 0140", "GPIO 24 WRITE 1"})
        EXPECT_EQ(ask(line).substr(0, 2), "OK") << line;
    EXPECT_EQ(sim.texts("/board", "bus.last_errors"),
              (std::vector<std::string>{
                  "transfer of 2 bytes without chip select", "unknown command byte 0x80",
                  "transaction with the controller in mode 0, MSB first (the board needs mode 2, MSB first)"}));
    EXPECT_EQ(sim.number("/board", "power_off_requests"), 0);

    // The same write done right is applied.
    for (const char *line : {"SPI MODE 2", "GPIO 24 WRITE 0", "SPI XFER 01C0", "GPIO 24 WRITE 1"})
        EXPECT_EQ(ask(line).substr(0, 2), "OK") << line;
    EXPECT_EQ(sim.number("/board", "power_off_requests"), 1);
    close(fd);
}

}  // namespace
