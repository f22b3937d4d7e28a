#include <kovra_utils/cancellation.hpp>

#include <utility>

namespace kovra_utils {

namespace {
thread_local const std::function<void()>* installed_check = nullptr;
}  // namespace

void check_cancellation() {
  if (installed_check != nullptr) (*installed_check)();
}

CancellationCheck::CancellationCheck(std::function<void()> check)
    : check_(std::move(check)), previous_(installed_check) {
  installed_check = check_ ? &check_ : nullptr;
}

CancellationCheck::~CancellationCheck() { installed_check = previous_; }

}  // namespace kovra_utils
