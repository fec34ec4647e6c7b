#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

namespace orvandale::testing {

/// A session.json whose parent application is this test process, with the update started
/// `ago` before now.
std::string sessionStartedAgo(std::chrono::seconds ago = std::chrono::seconds(0), bool capture = false);

/// The width and height a PNG's header gives, or nothing when the bytes are no PNG.
std::optional<std::pair<std::uint32_t, std::uint32_t>> pngSize(const std::string& png);

}  // namespace orvandale::testing
