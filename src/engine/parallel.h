/* A small helper for running work on the spare cores of the build. */
#ifndef OLKENG_PARALLEL_H
#define OLKENG_PARALLEL_H

#include <atomic>
#include <cstddef>
#include <functional>

namespace olk {

/* The number of cores a build may still put to work. Threads that hold a
 * core give it back when they are done, so a long task near the end of a
 * build can spread over the cores the finished ones left. */
class CoreBudget {
 public:
  explicit CoreBudget(int spare) : spare_(spare) {}
  bool TryTake() {
    int v = spare_.load();
    while (v > 0) {
      if (spare_.compare_exchange_weak(v, v - 1)) return true;
    }
    return false;
  }
  void Give() { spare_.fetch_add(1); }
  /* TakeBack(): takes a core given while waiting, whether or not one is
   * spare now; the count then stays below zero until others give theirs. */
  void TakeBack() { spare_.fetch_sub(1); }

 private:
  std::atomic<int> spare_;
};

/* RunParallel():
 * Calls fn(0) .. fn(count-1), on the calling thread and on as many extra
 * threads as `budget` grants (none when `budget` is NULL), and returns when
 * all calls have returned. The calls must not depend on their order. */
void RunParallel(size_t count, const std::function<void(size_t)>& fn, CoreBudget* budget);

}  // namespace olk

#endif
