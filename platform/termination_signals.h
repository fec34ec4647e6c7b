#pragma once

namespace orvandale::platform {

/// Turns the signals that end a desktop program (SIGTERM, SIGINT, SIGHUP: a logout, a shutdown,
/// Ctrl-C) into bytes on a pipe that the event loop watches, so that the process ends between
/// two of its callbacks and never in the middle of a write. A signal that was ignored when the
/// process started (as under nohup) stays ignored. One object at a time; the previous
/// dispositions come back when it goes.
class TerminationSignals {
 public:
  TerminationSignals();
  TerminationSignals(const TerminationSignals&) = delete;
  TerminationSignals& operator=(const TerminationSignals&) = delete;
  ~TerminationSignals();

  /// The pipe's reading end: readable once one of the signals has arrived. -1 if the pipe
  /// could not be made, in which case the signals keep their default action.
  int readableDescriptor() const { return pipe_[0]; }

  /// The first of the signals that has arrived so far, or 0 when none has.
  int received();

  /// Ends the process by the first of the signals that has arrived, if one has; returns
  /// otherwise.
  void endIfReceived() {
    if (const int signalNumber = received()) endBy(signalNumber);
  }

  /// Ends the process the way `signalNumber` ends it by default, so that its parent sees it
  /// ended by that signal (WIFSIGNALED, WTERMSIG). Runs no exit handler and no destructor.
  [[noreturn]] static void endBy(int signalNumber);

 private:
  int pipe_[2] = {-1, -1};
  int received_ = 0;
};

}  // namespace orvandale::platform
