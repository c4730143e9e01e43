#include "python/common/unlocked.hpp"

namespace fendral::python {

UnlockedSection::UnlockedSection(std::optional<ErrorValue>& raised)
    : raised_(raised), thread_state_(PyEval_SaveThread()), scope_(*this) {}

UnlockedSection::~UnlockedSection() {
  PyEval_RestoreThread(thread_state_);
}

bool UnlockedSection::resume_after_signal() {
  // Once a handler has asked to stop, every later interruption stops too.
  if (raised_) return false;
  PyEval_RestoreThread(thread_state_);
  // Released again however this ends, a fault thrown by the capture included.
  struct Release {
    PyThreadState*& saved;
    ~Release() { saved = PyEval_SaveThread(); }
  } release{thread_state_};
  if (PyErr_CheckSignals() == 0) return true;
  raised_ = ErrorValue::capture();
  return false;
}

}  // namespace fendral::python
