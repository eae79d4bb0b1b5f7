/*
 * One thread beside the caller's, and a lock with a condition to hand it
 * work: the engine's only concurrency, in two small system sides
 * (worker_thread_posix.cpp, worker_thread_win32.cpp). patcheng.dll may
 * load no runtime beyond the system's, so this is not std::thread.
 */
#ifndef OLKENG_WORKER_THREAD_H
#define OLKENG_WORKER_THREAD_H

#include <memory>

namespace olk {

/* A lock and one condition on it. */
class Monitor {
 public:
  Monitor();  /* throws std::bad_alloc */
  ~Monitor();
  Monitor(const Monitor&) = delete;
  Monitor& operator=(const Monitor&) = delete;

  void Lock();
  void Unlock();
  /* Wait(): with the lock held, releases it until NotifyAll(), then
   * takes it again (it may also return without one: check, and wait
   * again). */
  void Wait();
  void NotifyAll();

  struct System;

 private:
  std::unique_ptr<System> system_;
};

/* Holds a Monitor's lock for a scope. */
class Locked {
 public:
  explicit Locked(Monitor& m) : m_(m) { m_.Lock(); }
  ~Locked() { m_.Unlock(); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

 private:
  Monitor& m_;
};

class WorkerThread {
 public:
  WorkerThread() = default;
  ~WorkerThread() { Join(); }
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  /* Start(): runs run(arg) on a new thread. False when no thread can be
   * made; the caller then does the work itself. */
  bool Start(void (*run)(void*), void* arg);
  /* Join(): waits for the thread to end (nothing when none runs). */
  void Join();

  /* Run(): the new thread's body, called by the system side. */
  static void Run(WorkerThread* self) { self->run_(self->arg_); }

  struct System;

 private:
  /* The system side: starts a thread that calls Run(this). */
  bool StartSystem();

  System* system_ = nullptr;
  void (*run_)(void*) = nullptr;
  void* arg_ = nullptr;
};

}  // namespace olk

#endif
