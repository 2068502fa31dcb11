#pragma once

// srec_cat (Debian's srecord), an independent reader and writer of Intel HEX and
// S-record files, for tests that hold the program's reading against it.

#include "child_process.h"
#include "scratch_dir.h"

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

// srec_cat, the independent reader; empty when it is not installed.
inline std::string SrecCat()
{
    const char* path = std::getenv("PATH");
    std::stringstream folders(path ? path : "/usr/bin");
    for (std::string folder; std::getline(folders, folder, ':');) {
        const std::filesystem::path candidate = std::filesystem::path(folder) / "srec_cat";
        if (::access(candidate.c_str(), X_OK) == 0)
            return candidate.string();
    }
    return {};
}

#define REQUIRE_SREC_CAT(tool)                                                                          \
    const std::string tool = SrecCat();                                                                 \
    if (tool.empty())                                                                                   \
    GTEST_SKIP() << "srec_cat is missing (Debian package srecord, installed by scripts/setup.sh): "    \
                    "the files cannot be held against an independent reader"

// Runs srec_cat with `args` in `dir`; its messages on failure.
inline std::string RunSrecCat(const std::string& tool, const ScratchDir& dir, std::vector<std::string> args)
{
    ChildProcess child(tool, std::move(args), dir / "srec_cat.out");
    const int status = child.WaitForExit(std::chrono::seconds(30));
    return status == 0 ? std::string() : "srec_cat failed (" + std::to_string(status) + "): " +
                                             dir.ReadFile("srec_cat.out");
}

