// A run-once flag for objects made by the thousand. std::call_once on glibc ends every
// first run with a futex wake system call, whether or not anybody waits: a module's names
// are prepared by the thousand, and on a virtual machine those calls cost more than the
// work they guard. This flag makes no system call; a thread that finds the work running
// elsewhere yields until it is done, which is rare and short.
#ifndef ZOR_UTIL_ONCE_H_
#define ZOR_UTIL_ONCE_H_

#include <atomic>
#include <cstdint>
#include <thread>

namespace ZOR_3_12 {
namespace internal {

class OnceFlag {
 public:
  OnceFlag() = default;
  OnceFlag(const OnceFlag&) = delete;
  OnceFlag& operator=(const OnceFlag&) = delete;

  bool done() const { return m_state.load(std::memory_order_acquire) == kDone; }

  // Runs `work` unless it has completed before; returns once it has completed. As with
  // std::call_once, an exception leaves the flag unset and reaches the caller, and the
  // next call tries again. `work` must not run this same flag.
  template <class Work>
  void run(Work&& work) {
    uint8_t state = m_state.load(std::memory_order_acquire);
    while (state != kDone) {
      if (state == kIdle &&
          m_state.compare_exchange_weak(state, kRunning, std::memory_order_acquire, std::memory_order_acquire)) {
        try {
          work();
        } catch (...) {
          m_state.store(kIdle, std::memory_order_release);
          throw;
        }
        m_state.store(kDone, std::memory_order_release);
        return;
      }
      if (state == kRunning) {
        std::this_thread::yield();
        state = m_state.load(std::memory_order_acquire);
      }
    }
  }

 private:
  static constexpr uint8_t kIdle = 0;
  static constexpr uint8_t kRunning = 1;
  static constexpr uint8_t kDone = 2;
  std::atomic<uint8_t> m_state{kIdle};
};

}  // namespace internal
}  // namespace ZOR_3_12

#endif  // ZOR_UTIL_ONCE_H_
