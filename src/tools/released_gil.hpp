#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "core/interrupt.hpp"
#include "python_error.hpp"

namespace varsift::tools {

// Lets other Python threads run while this scope does native work that touches no Python
// object; takes the interpreter lock back on leaving, however it is left. Native code that
// waits for input in the scope runs Python's signal handlers from time to time, taking the
// lock back for them: a handler that raises (Ctrl-C's KeyboardInterrupt) ends the work with
// PythonError, its exception set.
class ReleasedGil {
 public:
  ReleasedGil() noexcept : handlers_(*this), state_(PyEval_SaveThread()), scope_(&handlers_) {}
  ~ReleasedGil() { PyEval_RestoreThread(state_); }
  ReleasedGil(const ReleasedGil&) = delete;
  ReleasedGil& operator=(const ReleasedGil&) = delete;

 private:
  class SignalHandlers final : public core::Interruption {
   public:
    explicit SignalHandlers(ReleasedGil& scope) noexcept : scope_(scope) {}
    void check() override {
      PyEval_RestoreThread(scope_.state_);
      const int result = PyErr_CheckSignals();
      scope_.state_ = PyEval_SaveThread();
      if (result < 0) throw PythonError();
    }

   private:
    ReleasedGil& scope_;
  };

  SignalHandlers handlers_;
  PyThreadState* state_;
  core::ScopedThreadInterruption scope_;
};

}  // namespace varsift::tools
