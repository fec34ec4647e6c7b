// The status program's entry point: OrvandaleUpdateProgress <exchange directory>.
// It prints nothing; its exit status is 1 when the command line or session.json is unusable,
// and 0 when the update completed or the user closed the status window. SIGTERM, SIGINT and
// SIGHUP end it as they end any process (WIFSIGNALED), but only between two of its callbacks,
// so that no file it is writing is left half done.

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>

#if defined(__SANITIZE_ADDRESS__)
#define ORVANDALE_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ORVANDALE_SANITIZED 1
#endif
#endif
#ifndef ORVANDALE_SANITIZED
#define ORVANDALE_SANITIZED 0
#endif
#if ORVANDALE_SANITIZED
#include <sanitizer/common_interface_defs.h>
#endif

#include <filesystem>
#include <memory>
#include <system_error>
#include <variant>

#include <QObject>
#include <QSocketNotifier>

#include "app/update_progress.h"
#include "platform/posix_platform.h"
#include "platform/termination_signals.h"
#include "ui/qt/qt_application.h"

namespace {

// The argument names a directory whatever it is; a relative one is taken from the working
// directory at start, and an empty one is the working directory itself.
std::filesystem::path exchangeDirectory(const char* argument) {
  const std::filesystem::path given = *argument == '\0' ? std::filesystem::path(".") : std::filesystem::path(argument);
  std::error_code error;
  std::filesystem::path absolute = std::filesystem::absolute(given, error);
  return error ? given : absolute;
}

}  // namespace

int main(int argc, char** argv) {
  {
    // Silence for every library in the process, not only Qt's messages: from here on what
    // anything writes to standard output or error goes nowhere. A sanitizer build keeps its
    // reports on the error output it was started with: they are the point of such a build.
#if ORVANDALE_SANITIZED
    __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<std::intptr_t>(::dup(STDERR_FILENO))));
#endif
    const int nowhere = ::open("/dev/null", O_WRONLY);
    ::dup2(nowhere, STDOUT_FILENO);
    ::dup2(nowhere, STDERR_FILENO);
    if (nowhere > STDERR_FILENO) ::close(nowhere);
  }

  using orvandale::UpdateProgress;
  namespace ui = orvandale::ui;

  // Termination signals: from here on one only queues an event. Its notifier runs on the main
  // thread between two callbacks, when no write is in progress, and ends the process there:
  // nothing more is written. An exit of main's own first checks for one that came meanwhile.
  orvandale::platform::TerminationSignals terminationSignals;
  auto exitWith = [&terminationSignals](int status) {
    terminationSignals.endIfReceived();
    return status;
  };

  orvandale::ui::qt::silenceQtMessages();
  ui::qt::QtApplication application(argc > 0 ? argv[0] : nullptr);
  application.setActivationPolicy(ui::ActivationPolicy::accessory);
  if (argc != 2) return exitWith(1);

  QSocketNotifier signalNotifier(terminationSignals.readableDescriptor(), QSocketNotifier::Read);
  QObject::connect(&signalNotifier, &QSocketNotifier::activated,
                   [&terminationSignals] { terminationSignals.endIfReceived(); });

  orvandale::platform::PosixPlatform platform;
  auto created = UpdateProgress::create(application, platform, exchangeDirectory(argv[1]));
  auto* controller = std::get_if<std::shared_ptr<UpdateProgress>>(&created);
  if (controller == nullptr) return exitWith(1);

  application.setDelegate(*controller);
  application.run();
  controller->reset();
  return exitWith(0);
}
