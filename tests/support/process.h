#pragma once

#include <chrono>
#include <filesystem>

#include "tools/child_process.h"

namespace orvandale::testing {

/// The tests start processes as the tools do.
using ChildProcess = process::ChildProcess;

/// Waits until `path` exists, for at most `timeout`.
bool waitForFile(const std::filesystem::path& path, std::chrono::milliseconds timeout);

}  // namespace orvandale::testing
