#pragma once

// Stopping long operations from outside: the frame loops (loading a clip, rendering a video,
// cutting frames, cleaning masks, scoring tracks, trying first frames) call
// check_cancellation() between frames. A caller that wants to stop them installs a check for
// its own thread with CancellationCheck; the check throws whatever exception should end the
// operation (the Python package raises KeyboardInterrupt after Ctrl-C). Operations that write
// files write them through a temporary that unwinding removes, so a stopped operation leaves no
// partial output.
//
// The installed check is per thread and scoped: without one, check_cancellation() does nothing.

#include <functional>

namespace kovra_utils {

/// Calls the check installed on this thread, if any; what it throws propagates.
void check_cancellation();

/// While alive, check_cancellation() on this thread calls `check`. Scopes nest: the previous
/// check is restored on destruction.
class CancellationCheck {
 public:
  explicit CancellationCheck(std::function<void()> check);
  ~CancellationCheck();
  CancellationCheck(const CancellationCheck&) = delete;
  CancellationCheck& operator=(const CancellationCheck&) = delete;

 private:
  std::function<void()> check_;
  const std::function<void()>* previous_;
};

}  // namespace kovra_utils
