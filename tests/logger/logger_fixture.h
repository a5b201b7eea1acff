// The logger's tests run it in a sandbox root and read its two history files.
// fsync is interposed for the whole test program (fsync_hook.cpp), so that a
// test can see what is flushed, make a flush fail, or hold a store in the
// middle of its write.
#pragma once

#include "logger/logger_internal.h"
#include "support.h"

namespace vx4test {

// Called with each flushed file's path; a negative result fails that fsync with EIO.
void set_fsync_hook(std::function<int(const std::string &path)> hook);

class LoggerTest : public ::testing::Test {
protected:
    void SetUp() override { root.enter(); }
    void TearDown() override { set_fsync_hook(nullptr); }
    void start(const vx4_logger_callbacks *callbacks = nullptr) { ASSERT_EQ(vx4_init_logger(callbacks), 0); }
    static std::string log_file(int index) { return "/home/vx4/logger/log" + std::to_string(index) + ".json"; }

    // The record a history file holds, when it is valid.
    std::optional<logger_history> stored(int index) const
    {
        std::string text = root.exists(log_file(index)) ? root.read(log_file(index)) : "";
        logger_history record;
        return logger_parse_history(text.data(), text.size(), &record) ? std::optional(record) : std::nullopt;
    }
    static logger_present present()
    {
        logger_present now;
        logger_snapshot(&now, nullptr);
        return now;
    }
    static logger_history history()
    {
        logger_history life;
        logger_snapshot(nullptr, &life);
        return life;
    }

    SandboxRoot root;
};

}  // namespace vx4test
