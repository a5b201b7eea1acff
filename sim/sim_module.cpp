#include "sim_module.h"

#include <stdexcept>

std::string SimOptions::text(const std::string &name, const std::string &unset) const
{
    auto found = values_.find(name);
    return found == values_.end() ? unset : found->second;
}

long long SimOptions::number(const std::string &name, long long unset) const
{
    auto found = values_.find(name);
    if (found == values_.end())
        return unset;
    size_t used = 0;
    long long value = std::stoll(found->second, &used);
    if (used != found->second.size())
        throw std::invalid_argument("--" + name + "=" + found->second + " is not a number");
    return value;
}

std::map<std::string, SimModuleEntry> &sim_modules()
{
    static std::map<std::string, SimModuleEntry> modules;
    return modules;
}

SimModuleRegistration::SimModuleRegistration(const char *name, const char *usage, SimModuleFactory factory)
{
    sim_modules()[name] = {name, usage, std::move(factory)};
}
