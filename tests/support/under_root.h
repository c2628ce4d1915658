// In-process tests under a private simulated router: ROUTER_ROOT names a
// fresh root for the test, and the program whose log lines are written is
// chosen (none: nothing is logged).
#pragma once

#include "log.h"
#include "test_support.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <string>

namespace ts {

class UnderRoot : public ::testing::Test {
  protected:
    explicit UnderRoot(unsigned clock_factor = 1, LogProgram program = LogProgram::None)
        : root(clock_factor), program_(program) {}
    void SetUp() override {
        setenv("ROUTER_ROOT", root.dir().c_str(), 1);
        log_set_program(program_);
    }
    void TearDown() override {
        log_set_program(LogProgram::None);
        unsetenv("ROUTER_ROOT");
    }
    // The program's log file as written so far.
    std::string log() const {
        const LogProgramConfig *cfg = log_program_config();
        return cfg->file ? read_file(root.path(cfg->file)) : "";
    }
    TempRoot root;

  private:
    LogProgram program_;
};

} // namespace ts
