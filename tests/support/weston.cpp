#include "tests/support/weston.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

namespace orvandale::testing {

namespace {

using namespace std::chrono_literals;

constexpr const char* socketName = "wayland-test";

// A connected stream socket to the Unix socket at `path`, or -1.
int connectTo(const std::filesystem::path& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string name = path.string();
  if (name.size() >= sizeof address.sun_path) return -1;
  std::memcpy(address.sun_path, name.c_str(), name.size() + 1);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

WestonServer::WestonServer(const std::string& driverModule) {
  const std::filesystem::path driverSocket = runtime_ / "driver";
  try {
    weston_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"weston", "--backend=headless-backend.so", "--no-config", "--idle-time=0",
                                 std::string("--socket=") + socketName, "--modules=" + driverModule},
        ChildProcess::Options{.environment = {{"XDG_RUNTIME_DIR", runtime_.path().string()},
                                              {"WESTON_DRIVER_SOCKET", driverSocket.string()},
                                              {"WAYLAND_DISPLAY", std::nullopt},
                                              {"DISPLAY", std::nullopt}}});
  } catch (const std::exception& error) {
    failure_ = std::string("weston could not be started: ") + error.what();
    return;
  }
  // The compositor is ready for clients once its socket and the driver's both exist.
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (driver_ < 0 && std::chrono::steady_clock::now() < deadline) {
    if (!weston_->running()) break;
    if (std::filesystem::exists(runtime_ / socketName)) driver_ = connectTo(driverSocket);
    if (driver_ < 0) std::this_thread::sleep_for(20ms);
  }
  if (driver_ < 0) {
    const std::optional<int> status = weston_->wait(0ms);
    failure_ = status == 127 ? std::string("weston is not installed")
                             : "weston did not start: " + weston_->standardError();
  }
}

WestonServer::~WestonServer() {
  if (driver_ >= 0) ::close(driver_);
}

std::map<std::string, std::optional<std::string>> WestonServer::clientEnvironment() const {
  return {{"XDG_RUNTIME_DIR", runtime_.path().string()},
          {"WAYLAND_DISPLAY", socketName},
          {"QT_QPA_PLATFORM", "wayland"},
          {"DISPLAY", std::nullopt}};
}

std::string WestonServer::request(const std::string& line) {
  if (driver_ < 0) return "";
  const std::string sent = line + "\n";
  if (::write(driver_, sent.data(), sent.size()) != static_cast<ssize_t>(sent.size())) return "";
  std::string answer;
  char c = 0;
  while (::read(driver_, &c, 1) == 1 && c != '\n') answer += c;
  return answer;
}

}  // namespace orvandale::testing
