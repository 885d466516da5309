#pragma once
// "Undo on every exit": a step that must run when a scope ends, by return or
// by exception, such as a flag set back or a line closed.
#include <exception>
#include <utility>

namespace tarvina {

// Runs `undo` when the guard goes out of scope, unless Dismiss() was called
// (an undo meant for failures only). While an exception is already leaving
// the scope, a throwing undo is swallowed: the first failure is the one the
// caller hears about. On a normal exit the undo's throw goes to the caller.
template <typename Undo>
class [[nodiscard]] ScopeGuard {
 public:
  explicit ScopeGuard(Undo undo) : undo_(std::move(undo)), exceptions_(std::uncaught_exceptions()) {}
  ScopeGuard(const ScopeGuard&) = delete;
  ScopeGuard& operator=(const ScopeGuard&) = delete;
  ~ScopeGuard() noexcept(false) {
    if (dismissed_) return;
    if (std::uncaught_exceptions() > exceptions_) {
      try {
        undo_();
      } catch (...) {
      }
    } else {
      undo_();
    }
  }

  void Dismiss() { dismissed_ = true; }

 private:
  Undo undo_;
  int exceptions_;
  bool dismissed_ = false;
};

}  // namespace tarvina
