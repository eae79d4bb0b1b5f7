#include "parallel.h"

#include <mutex>
#include <thread>
#include <vector>

namespace olk {

void RunParallel(size_t count, const std::function<void(size_t)>& fn, CoreBudget* budget) {
  std::atomic<size_t> next{0};
  std::mutex lock;
  std::vector<std::thread> extra; /* guarded by `lock`; a thread is listed until joined */
  std::function<void()> worker;
  /* Before each call, every worker asks for a core for each item still
   * waiting: a core that another task gives back while this one runs
   * (a small stream encoded beside a large one) joins in at once instead
   * of idling until the end. */
  auto grow = [&]() {
    while (budget && next.load() + 1 < count && budget->TryTake()) {
      std::lock_guard<std::mutex> hold(lock);
      try {
        extra.emplace_back([&worker, budget]() {
          worker();
          budget->Give(); /* the core is free for others as soon as this thread is done */
        });
      } catch (...) {
        budget->Give();
        return;
      }
    }
  };
  worker = [&]() {
    for (;;) {
      grow();
      size_t i = next.fetch_add(1);
      if (i >= count) return;
      fn(i);
    }
  };
  worker();
  /* While this thread waits for the others, its core is theirs to use
   * (a large stream's codecs, say, started while it encoded small ones). */
  bool lent = false;
  {
    std::lock_guard<std::mutex> hold(lock);
    if (budget && !extra.empty()) {
      budget->Give();
      lent = true;
    }
  }
  /* Threads may start threads until the last item is taken: join until
   * none is listed, and a listed one cannot have ended unjoined. */
  for (;;) {
    std::thread t;
    {
      std::lock_guard<std::mutex> hold(lock);
      if (extra.empty()) break;
      t = std::move(extra.back());
      extra.pop_back();
    }
    t.join();
  }
  if (lent) budget->TakeBack();
}

}  // namespace olk
