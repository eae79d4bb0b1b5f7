#include <windows.h>

#include <new>

#include "worker_thread.h"

namespace olk {

struct Monitor::System {
  SRWLOCK lock = SRWLOCK_INIT;
  CONDITION_VARIABLE cond = CONDITION_VARIABLE_INIT;
};

Monitor::Monitor() : system_(new System) {}
Monitor::~Monitor() = default;
void Monitor::Lock() { AcquireSRWLockExclusive(&system_->lock); }
void Monitor::Unlock() { ReleaseSRWLockExclusive(&system_->lock); }
void Monitor::Wait() { SleepConditionVariableSRW(&system_->cond, &system_->lock, INFINITE, 0); }
void Monitor::NotifyAll() { WakeAllConditionVariable(&system_->cond); }

struct WorkerThread::System {
  HANDLE thread;
};

namespace {

DWORD WINAPI Trampoline(LPVOID self) {
  WorkerThread::Run(static_cast<WorkerThread*>(self));
  return 0;
}

}  // namespace

bool WorkerThread::StartSystem() {
  System* s = new (std::nothrow) System;
  if (!s) return false;
  /* A small stack: the work is a loop over buffers the caller owns. */
  s->thread = CreateThread(nullptr, 256 * 1024, Trampoline, this, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (!s->thread) {
    delete s;
    return false;
  }
  system_ = s;
  return true;
}

void WorkerThread::Join() {
  if (!system_) return;
  WaitForSingleObject(system_->thread, INFINITE);
  CloseHandle(system_->thread);
  delete system_;
  system_ = nullptr;
}

}  // namespace olk
