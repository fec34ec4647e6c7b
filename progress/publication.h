#pragma once

#include <string>
#include <string_view>

#include "exchange/receipt.h"

namespace orvandale::progress {

/// The display key: the phase, ":" and whether closing is allowed. What was last published is
/// kept as a key; a poll publishes only when its key differs.
std::string displayKey(std::string_view phase, bool canClose);

/// The content of display.json: what the window shows at a publication.
exchange::Receipt displayRecord(std::string_view phase, std::string_view heading, std::string_view detail,
                                bool canClose);

/// The snapshot file of a phase: the phase text followed by ".png".
std::string snapshotName(std::string_view phase);

}  // namespace orvandale::progress
