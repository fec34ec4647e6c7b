#pragma once

// The texts the status window shows for the phases of an update. "…" is U+2026.

namespace orvandale::progress::texts {

inline constexpr const char* attentionHeading = "Update needs attention";
inline constexpr const char* fallbackDetail =
    "Orvandale closed before installation started. Reopen Orvandale and try the update again.";
inline constexpr const char* preparingHeading = "Preparing update…";
inline constexpr const char* preparingDetail = "Closing Orvandale safely. Your shows and settings will be kept.";
inline constexpr const char* installingHeading = "Installing update…";
inline constexpr const char* installingDetail =
    "Please wait. Orvandale will reopen automatically when installation finishes.";
inline constexpr const char* restartingHeading = "Restarting Orvandale…";
inline constexpr const char* restartingDetail = "The update is installed. Preparing your workspace…";
inline constexpr const char* longWaitDetail =
    "This is taking longer than expected. You can keep waiting or close this status window. Closing it does not "
    "cancel the update.";

}  // namespace orvandale::progress::texts
