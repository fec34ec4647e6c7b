#include "progress/publication.h"

namespace orvandale::progress {

std::string displayKey(std::string_view phase, bool canClose) {
  std::string key(phase);
  key += canClose ? ":true" : ":false";
  return key;
}

exchange::Receipt displayRecord(std::string_view phase, std::string_view heading, std::string_view detail,
                                bool canClose) {
  return {
      {"phase", std::string(phase)},
      {"heading", std::string(heading)},
      {"detail", std::string(detail)},
      {"canClose", canClose},
  };
}

std::string snapshotName(std::string_view phase) {
  std::string name(phase);
  name += ".png";
  return name;
}

}  // namespace orvandale::progress
