#include "parallel.h"

#include <thread>
#include <vector>

namespace olk {

void RunParallel(size_t count, const std::function<void(size_t)>& fn, CoreBudget* budget) {
  std::atomic<size_t> next{0};
  auto worker = [&]() {
    for (;;) {
      size_t i = next.fetch_add(1);
      if (i >= count) return;
      fn(i);
    }
  };
  std::vector<std::thread> extra;
  while (budget && extra.size() + 1 < count && budget->TryTake()) {
    try {
      extra.emplace_back([&worker, budget]() {
        worker();
        budget->Give(); /* the core is free for others as soon as this thread is done */
      });
    } catch (...) {
      budget->Give();
      break;
    }
  }
  worker();
  for (auto& t : extra) t.join();
}

}  // namespace olk
