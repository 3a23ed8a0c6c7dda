// GilReleased: gives up the interpreter lock for the scope's lifetime.
//
// Inside the scope no Python object may be touched, and no Python API
// called. Declare any lock the scope waits for after the GilReleased, so it
// is released before the interpreter lock is taken back.
#pragma once

#include "lib/python.hpp"

namespace derirezaro::py {

class GilReleased {
 public:
  GilReleased() : state_(PyEval_SaveThread()) {}
  ~GilReleased() { PyEval_RestoreThread(state_); }
  GilReleased(const GilReleased&) = delete;
  GilReleased& operator=(const GilReleased&) = delete;

 private:
  PyThreadState* state_;
};

}  // namespace derirezaro::py
