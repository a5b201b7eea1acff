// vx4-sim: the simulated head. Stands in for the power board, the camera
// module and its streams, on loopback only, with a control API to read and
// change what it simulates.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

#include "control_server.h"
#include "sim_module.h"

namespace {

void usage(FILE *out)
{
    fprintf(out, "usage: vx4-sim [--control-port=N] [module options]\n"
                 "  --control-port=N   control API on 127.0.0.1:N (default 60190)\n");
    for (const auto &[name, module] : sim_modules())
        fprintf(out, "%s module:\n%s", name.c_str(), module.usage.c_str());
}

}  // namespace

int main(int argc, char **argv)
{
    SimOptions options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            usage(stdout);
            return 0;
        }
        if (arg.rfind("--", 0) != 0) {
            usage(stderr);
            return 2;
        }
        size_t equals = arg.find('=');
        options.set(arg.substr(2, equals == std::string::npos ? std::string::npos : equals - 2),
                    equals == std::string::npos ? "" : arg.substr(equals + 1));
    }

    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);  // every thread inherits the mask
    signal(SIGPIPE, SIG_IGN);

    std::vector<std::unique_ptr<SimModule>> running;
    try {
        ControlServer control(static_cast<int>(options.number("control-port", 60190)));
        for (const auto &[name, module] : sim_modules())
            if (auto started = module.factory(options, control)) {
                fprintf(stderr, "vx4-sim: %s started\n", name.c_str());
                running.push_back(std::move(started));
            }
        control.start();
        fprintf(stderr, "vx4-sim: ready, control API on 127.0.0.1:%lld\n", options.number("control-port", 60190));
        int received;
        sigwait(&stop, &received);
        fprintf(stderr, "vx4-sim: stopping on signal %d\n", received);
        while (!running.empty())
            running.pop_back();
    } catch (const std::exception &error) {
        fprintf(stderr, "vx4-sim: %s\n", error.what());
        return 1;
    }
    return 0;
}
