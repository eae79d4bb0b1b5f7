#include <pthread.h>

#include <new>

#include "worker_thread.h"

namespace olk {

struct Monitor::System {
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t cond = PTHREAD_COND_INITIALIZER;
};

Monitor::Monitor() : system_(new System) {}
Monitor::~Monitor() {
  pthread_cond_destroy(&system_->cond);
  pthread_mutex_destroy(&system_->mutex);
}
void Monitor::Lock() { pthread_mutex_lock(&system_->mutex); }
void Monitor::Unlock() { pthread_mutex_unlock(&system_->mutex); }
void Monitor::Wait() { pthread_cond_wait(&system_->cond, &system_->mutex); }
void Monitor::NotifyAll() { pthread_cond_broadcast(&system_->cond); }

struct WorkerThread::System {
  pthread_t thread;
  void (*run)(void*);
  void* arg;
};

namespace {

void* Trampoline(void* p) {
  WorkerThread::System* s = static_cast<WorkerThread::System*>(p);
  s->run(s->arg);
  return nullptr;
}

}  // namespace

bool WorkerThread::Start(void (*run)(void*), void* arg) {
  if (system_) return false;
  System* s = new (std::nothrow) System;
  if (!s) return false;
  s->run = run;
  s->arg = arg;
  if (pthread_create(&s->thread, nullptr, Trampoline, s) != 0) {
    delete s;
    return false;
  }
  system_ = s;
  return true;
}

void WorkerThread::Join() {
  if (!system_) return;
  pthread_join(system_->thread, nullptr);
  delete system_;
  system_ = nullptr;
}

}  // namespace olk
