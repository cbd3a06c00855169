#pragma once

#include <cstddef>

namespace varsift::core {

// Lets a long or blocked operation hear a request to stop, such as a signal, while the core
// stays unaware of where requests come from (the module runs Python's signal handlers here).
class Interruption {
 public:
  // Bytes of input between two periodic checks: a few milliseconds of reading.
  static constexpr std::size_t check_interval = std::size_t{4} << 20;

  // Called when a system call was interrupted, and periodically through consumed(). Returns
  // to let the operation go on; throws to end it, and what it throws unwinds through the core
  // to whoever made this object.
  virtual void check() = 0;

  // Counts `bytes` of input and checks once every check_interval bytes.
  void consumed(std::size_t bytes) {
    since_check_ += bytes;
    if (since_check_ >= check_interval) {
      since_check_ = 0;
      check();
    }
  }

 protected:
  Interruption() = default;
  Interruption(const Interruption&) = default;
  Interruption& operator=(const Interruption&) = default;
  ~Interruption() = default;

 private:
  std::size_t since_check_ = 0;
};

namespace detail {
inline thread_local Interruption* thread_interruption = nullptr;
}  // namespace detail

// The interruption in force on the calling thread, or null: waits deep inside a piece of work
// ask it, however far they are from whoever can be interrupted.
inline Interruption* thread_interruption() noexcept { return detail::thread_interruption; }

// Puts `interruption` in force on this thread for the lifetime of this object.
class ScopedThreadInterruption {
 public:
  explicit ScopedThreadInterruption(Interruption* interruption) noexcept
      : previous_(detail::thread_interruption) {
    detail::thread_interruption = interruption;
  }
  ~ScopedThreadInterruption() { detail::thread_interruption = previous_; }
  ScopedThreadInterruption(const ScopedThreadInterruption&) = delete;
  ScopedThreadInterruption& operator=(const ScopedThreadInterruption&) = delete;

 private:
  Interruption* previous_;
};

}  // namespace varsift::core
