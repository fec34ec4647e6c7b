#include "tools/report.h"

#include <cstdio>

#include "tools/timeline.h"

namespace orvandale::simulate {

void printTimelineLine(long ms, const std::string& line) {
  std::printf("%6ld ms  %s\n", ms, line.c_str());
  std::fflush(stdout);
}

std::string shorten(const std::string& text, std::size_t most) {
  if (text.size() <= most) return text;
  std::size_t cut = most;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;  // keep UTF-8 whole
  return text.substr(0, cut) + "…";
}

std::string readyLine(const nlohmann::json& ready, const std::string& bytes) {
  if (!ready.is_object()) return "ready.json: " + bytes;
  return "ready.json: pid " + ready.value("pid", nlohmann::json()).dump() + ", windowId " +
         ready.value("windowId", nlohmann::json()).dump();
}

std::string displayLine(const nlohmann::json& display, const std::string& bytes) {
  if (!display.is_object() || !display.contains("canClose") || !display.contains("heading") ||
      !display.contains("detail") || !display.contains("phase") || !display["heading"].is_string() ||
      !display["detail"].is_string() || !display["phase"].is_string()) {
    return "display.json: " + bytes;
  }
  const std::string phase = display["phase"], heading = display["heading"], detail = display["detail"];
  return "display.json: " + jsonString(phase) + " · " + jsonString(heading) + " · " + jsonString(shorten(detail)) +
         " · canClose " + display["canClose"].dump();
}

std::string countOf(std::size_t n, const char* what) { return std::to_string(n) + " " + what + (n == 1 ? "" : "s"); }

int printVerdict(const std::vector<std::string>& notes, const std::vector<std::string>& breaches, const char* keptText) {
  for (const std::string& note : notes) std::printf("note: %s\n", note.c_str());
  if (breaches.empty()) {
    std::printf("result: %s\n", keptText);
    return 0;
  }
  for (const std::string& breach : breaches) std::printf("BREACH: %s\n", breach.c_str());
  return 1;
}

}  // namespace orvandale::simulate
