#include "worker_thread.h"

namespace olk {

bool WorkerThread::Start(void (*run)(void*), void* arg) {
  if (system_) return false;
  run_ = run;
  arg_ = arg;
  return StartSystem();
}

}  // namespace olk
