#include "tools/protocol_check.h"

namespace orvandale::simulate {

namespace {

nlohmann::json parseObject(const std::string& bytes) {
  nlohmann::json value = nlohmann::json::parse(bytes, nullptr, false);
  if (!value.is_object()) return nlohmann::json(nlohmann::json::value_t::discarded);
  return value;
}

bool hasExactly(const nlohmann::json& object, std::initializer_list<const char*> keys) {
  if (object.size() != keys.size()) return false;
  for (const char* key : keys) {
    if (!object.contains(key)) return false;
  }
  return true;
}

}  // namespace

ProtocolCheck::ProtocolCheck(int programPid, bool capture) : programPid_(programPid), capture_(capture) {}

void ProtocolCheck::statusWritten(const std::optional<std::string>& phase) {
  writtenPhases_.insert(phase.value_or("preparing"));
  if (phase == "complete") completeWritten_ = true;
}

nlohmann::json ProtocolCheck::readyAppeared(const std::string& bytes) {
  const nlohmann::json ready = parseObject(bytes);
  if (ready_) breach("ready.json was written a second time");
  ready_ = true;
  if (!displays_.empty()) breach("ready.json came after display.json; it must come first");
  if (ready.is_discarded() || !hasExactly(ready, {"pid", "windowId"}) || !ready["pid"].is_number_integer() ||
      !ready["windowId"].is_number_integer()) {
    breach("ready.json is not an object of the integers \"pid\" and \"windowId\": " + bytes);
  } else if (ready["pid"] != programPid_) {
    breach("ready.json gives pid " + ready["pid"].dump() + ", but the program's pid is " + std::to_string(programPid_));
  }
  return ready;
}

nlohmann::json ProtocolCheck::displayAppeared(const std::string& bytes) {
  const nlohmann::json display = parseObject(bytes);
  if (!ready_) breach("display.json came before ready.json");
  if (finished_) breach("display.json was written after finished.json");
  if (display.is_discarded() || !hasExactly(display, {"phase", "heading", "detail", "canClose"}) ||
      !display["phase"].is_string() || !display["heading"].is_string() || !display["detail"].is_string() ||
      !display["canClose"].is_boolean()) {
    breach("display.json is not an object of the strings \"phase\", \"heading\", \"detail\" and the boolean "
           "\"canClose\": " + bytes);
    return display;
  }
  const std::string phase = display["phase"];
  if (!writtenPhases_.contains(phase)) breach("display.json shows the phase " + jsonString(phase) + ", which was never written");
  if (phase == "complete") breach("display.json was published for \"complete\"");
  const bool canClose = display["canClose"];
  if (closingAllowed_ && !canClose) breach("closing was allowed, then display.json says it is not");
  closingAllowed_ = closingAllowed_ || canClose;
  displays_.push_back(display);
  return display;
}

void ProtocolCheck::finishedAppeared(const std::string& bytes) {
  if (!completeWritten_) breach("finished.json appeared before \"complete\" was written");
  if (bytes != R"({"phase":"complete"})") breach("finished.json is not exactly {\"phase\":\"complete\"}: " + bytes);
  finished_ = true;
}

void ProtocolCheck::outputSeen(std::string_view output) {
  if (!output.empty()) breach("the program printed: " + std::string(output.substr(0, 400)));
}

void ProtocolCheck::programEnded(int status, std::string_view output) {
  outputSeen(output);
  if (!completeWritten_) {
    breach("the program ended with status " + std::to_string(status) + " before \"complete\" was written");
    return;
  }
  if (status != 0) breach("the program ended with status " + std::to_string(status) + " after completion, not 0");
  if (!finished_) breach("the program ended without writing finished.json");
}

void ProtocolCheck::finish(const std::set<std::string>& snapshots, const std::vector<Expectation>& expectations) {
  if (!capture_ && !snapshots.empty()) breach("snapshots were written without \"capture\": " + *snapshots.begin());
  if (capture_) {
    for (const nlohmann::json& display : displays_) {
      const std::string name = display["phase"].get<std::string>() + ".png";
      if (name.find('/') == std::string::npos && !snapshots.contains(name)) breach("no snapshot " + name + " was written");
    }
  }
  for (const Expectation& expected : expectations) {
    bool met = false;
    for (const nlohmann::json& display : displays_) {
      met = met || (display["phase"] == expected.phase && (!expected.heading || display["heading"] == *expected.heading) &&
                    (!expected.detail || display["detail"] == *expected.detail) &&
                    (!expected.canClose || display["canClose"] == *expected.canClose));
    }
    if (!met) breach("expected " + expected.why + " (phase " + jsonString(expected.phase) + "), never published");
  }
}

}  // namespace orvandale::simulate
