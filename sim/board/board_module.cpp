// The power board module of vx4-sim: --bus=PATH serves the simulated bus at
// PATH, --board-model=advanced|basic chooses the board.
#include <memory>
#include <stdexcept>

#include "board.h"
#include "bus_server.h"
#include "control_server.h"
#include "sim_module.h"

namespace {

class BoardModule : public SimModule {
public:
    BoardModule(SimBoard::Model model, const std::string &path) : board_(model), bus_(path, board_) {}
    SimBoard &board() { return board_; }

private:
    SimBoard board_;
    BusServer bus_;
};

void add_routes(ControlServer &control, SimBoard &board)
{
    control.route("GET", "/board", "the power board: rails, LEDs, motors, readings, faults, bus state",
                  [&board](const ControlRequest &) { return control_ok(board.state()); });
    control.route("POST", "/board/readings", "set readings: {\"pb_monitor_vin_volts\": 18.0, ...}",
                  [&board](const ControlRequest &request) {
                      std::string error;
                      if (!board.set_readings(request.body, &error))
                          return control_error(400, error);
                      return control_ok(board.state());
                  });
    control.route("GET", "/board/writes", "every register write received, in order",
                  [&board](const ControlRequest &) { return control_ok(board.writes()); });
    control.route("POST", "/board/writes/clear", "forget the recorded writes", [&board](const ControlRequest &) {
        board.clear_writes();
        return control_ok();
    });
    control.route("POST", "/board/mast", "put the mast by hand: {\"extension_mm\": 300, \"encoder\": 0, \"speed\": 3.0}",
                  [&board](const ControlRequest &request) {
                      std::string error;
                      if (!board.set_mast(request.body, &error))
                          return control_error(400, error);
                      return control_ok(board.state());
                  });
    control.route("POST", "/board/bootloader/flash",
                  "the programming tool writes an image: {\"image\": path}; 409 unless the board is in its bootloader",
                  [&board](const ControlRequest &request) {
                      std::string image, error;
                      if (!json_get_string(request.body, "image", &image))
                          return control_error(400, "image (a file path) is required");
                      if (!board.flash(image, &error))
                          return control_error(409, error);
                      return control_ok(board.state());
                  });
    control.route("POST", "/board/faults",
                  "inject faults: {\"bad_checksum\": true|N, \"zero_frames\": true|N, \"silent\": true, "
                  "\"overcurrent\": 1|2|0, \"no_current\": true, \"stuck_encoder\": true, \"jammed\": true}",
                  [&board](const ControlRequest &request) {
                      std::string error;
                      if (!board.set_faults(request.body, &error))
                          return control_error(400, error);
                      return control_ok(board.state());
                  });
}

std::unique_ptr<SimModule> start_board(const SimOptions &options, ControlServer &control)
{
    if (!options.has("bus"))
        return nullptr;
    std::string model = options.text("board-model", "advanced");
    if (model != "advanced" && model != "basic")
        throw std::runtime_error("--board-model=" + model + ": expected advanced or basic");
    auto module = std::make_unique<BoardModule>(
        model == "advanced" ? SimBoard::Model::advanced : SimBoard::Model::basic, options.text("bus"));
    add_routes(control, module->board());
    return module;
}

SimModuleRegistration registration("board",
                                   "  --bus=PATH                    serve the power board's bus on Unix socket PATH\n"
                                   "  --board-model=advanced|basic  the board's model (default advanced)\n",
                                   start_board);

}  // namespace
