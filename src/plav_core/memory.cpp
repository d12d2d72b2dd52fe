// The allocation-failure hook of test builds: the allocations of ours numbered
// [start, stop) from the moment a schedule is set are refused. It is reached
// through one C symbol exported by test builds only (ctypes or dlsym), so that
// the module itself gains no name and reads no environment.
#include "memory.hpp"

#include <atomic>

#ifdef PLAV_BUILD_TESTING
namespace plav {
namespace {
// The GIL serialises the module's calls; the counters are atomics only so that
// the scan, which runs without the GIL, counts correctly too.
std::atomic<int64_t> COUNT{0};
std::atomic<int64_t> START{-1}; // -1: no schedule
std::atomic<int64_t> STOP{0};   // 0: every allocation from START on
} // namespace

bool testing_refuse_allocation() noexcept {
    const int64_t n = COUNT.fetch_add(1, std::memory_order_relaxed);
    const int64_t start = START.load(std::memory_order_relaxed);
    if (start < 0 || n < start)
        return false;
    const int64_t stop = STOP.load(std::memory_order_relaxed);
    return stop == 0 || n < stop;
}

bool testing_schedule_set() noexcept {
    return START.load(std::memory_order_relaxed) >= 0;
}
} // namespace plav

// Refuses the allocations numbered [start, stop) from now (stop 0: all from start
// on); start -1 removes the schedule. Returns how many allocations of ours were
// counted since the previous call.
extern "C" __attribute__((visibility("default"))) int64_t
plav_testing_fail_allocations(int64_t start, int64_t stop) {
    const int64_t counted = plav::COUNT.exchange(0);
    plav::STOP.store(stop);
    plav::START.store(start);
    return counted;
}
#endif
