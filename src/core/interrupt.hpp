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

}  // namespace varsift::core
