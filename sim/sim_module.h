// The simulated head is a set of modules (power board, camera module, video
// streams), each standing in for one outside unit. A module registers itself
// at static initialisation; main starts every module whose options are given.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>

class ControlServer;

// Options as given on the command line: --name=value, or --name alone ("").
class SimOptions {
public:
    bool has(const std::string &name) const { return values_.count(name) != 0; }
    std::string text(const std::string &name, const std::string &unset = "") const;
    // Throws std::invalid_argument when the value is not an integer.
    long long number(const std::string &name, long long unset) const;
    void set(const std::string &name, const std::string &value) { values_[name] = value; }

private:
    std::map<std::string, std::string> values_;
};

class SimModule {
public:
    virtual ~SimModule() = default;
};

// Starts the module, or returns nullptr when its options are absent. Throws
// std::runtime_error when it cannot start.
using SimModuleFactory = std::function<std::unique_ptr<SimModule>(const SimOptions &, ControlServer &)>;

struct SimModuleRegistration {
    SimModuleRegistration(const char *name, const char *usage, SimModuleFactory factory);
};

struct SimModuleEntry {
    std::string name;
    std::string usage;
    SimModuleFactory factory;
};
std::map<std::string, SimModuleEntry> &sim_modules();
