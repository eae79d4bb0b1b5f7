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
};

namespace {

void* Trampoline(void* self) {
  WorkerThread::Run(static_cast<WorkerThread*>(self));
  return nullptr;
}

}  // namespace

bool WorkerThread::StartSystem() {
  System* s = new (std::nothrow) System;
  if (!s) return false;
  if (pthread_create(&s->thread, nullptr, Trampoline, this) != 0) {
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
