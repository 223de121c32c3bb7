#pragma once

// The reviewed transcript of the scripts a successful guardinit run sends
// (guardinit_scripts.golden), read into one entry per server run.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "test_support.h"

namespace guardinit_golden {

// One server run: its mode ("bootstrap" or "single-user") and its script.
struct Run {
    std::string mode;
    std::string script;
};

// Text before the first "==== run N: MODE ====" line is the file's
// description; every line after a header belongs to that run's script.
inline std::vector<Run> ReadRuns() {
    const std::string text = testsupport::ReadFileOrDie(GUARDINIT_SCRIPTS_GOLDEN);
    std::vector<Run> runs;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        int number = 0;
        char mode[32] = {};
        if (std::sscanf(line.c_str(), "==== run %d: %31[a-z-] ====", &number, mode) == 2) {
            EXPECT_EQ(number, static_cast<int>(runs.size()) + 1) << line;
            runs.push_back({mode, ""});
        } else if (!runs.empty()) {
            runs.back().script += line + "\n";
        }
        start = end + 1;
    }
    return runs;
}

}  // namespace guardinit_golden
