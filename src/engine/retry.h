/*
 * Bounded retries of a file operation that another program holds up for a
 * moment.
 *
 * Right after a file is written, a virus scanner or search indexer often
 * opens it for a moment; renaming or deleting it then fails with a sharing
 * violation or "access denied" although nothing is wrong. Such failures
 * are retried after short, growing pauses, about two seconds in all, and
 * only then reported as the file being in use (kInUse), which rolls the
 * patch back. A program that holds the file for longer (the running client)
 * is reported after those two seconds.
 *
 * Platform-neutral, so that the policy is tested natively with a fake
 * operation and a fake clock; the Win32 file layer uses it with Sleep().
 */
#ifndef OLKENG_RETRY_H
#define OLKENG_RETRY_H

#include <cstddef>
#include <cstdint>

#include "olkeng/file_layer.h"

namespace olk {

/* The pauses before the second, third, ... attempt, in milliseconds; 2000
 * in all. Short at first (a scanner usually lets go within a few tens of
 * milliseconds), longer later so that a slow one is still waited for. */
constexpr uint32_t kLockRetryPausesMs[] = {10, 20, 40, 80, 150, 250, 400, 500, 550};
constexpr size_t kLockRetryPauseCount = sizeof(kLockRetryPausesMs) / sizeof(kLockRetryPausesMs[0]);

/* IsTransientLock():
 * True for the results another program's open handle gives: worth a retry. */
inline bool IsTransientLock(IoStatus s) { return s == IoStatus::kInUse || s == IoStatus::kAccessDenied; }

/* RetryWhileLocked():
 * Runs `attempt` (IoStatus()) until it gives anything but a transient lock,
 * calling `pause` (void(uint32_t milliseconds)) between attempts, at most
 * 1 + kLockRetryPauseCount times.
 * @return the first result that is not a transient lock, or kInUse when
 *         every attempt met one. */
template <typename Attempt, typename Pause>
IoStatus RetryWhileLocked(Attempt&& attempt, Pause&& pause) {
  IoStatus s = attempt();
  for (size_t i = 0; i < kLockRetryPauseCount && IsTransientLock(s); ++i) {
    pause(kLockRetryPausesMs[i]);
    s = attempt();
  }
  return IsTransientLock(s) ? IoStatus::kInUse : s;
}

}  // namespace olk

#endif
