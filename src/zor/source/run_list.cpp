#include "zor/source/run_list.h"

#include <algorithm>
#include <new>

namespace ZOR_3_12 {
namespace internal {

namespace {
constexpr uint32_t kFirstSpill = 4;
}  // namespace

void RunList::release() {
  if (spilled()) {
    Spill* s = spill();
    s->memory->deallocate(s, spillBytes(s->capacity), alignof(Spill));
  }
  m_word = nullptr;
}

void RunList::push_back(LineRun* run, std::pmr::memory_resource* memory) {
  if (!spilled() && !m_word) {
    m_word = run;
    return;
  }
  Spill* old = spilled() ? spill() : nullptr;
  const size_t count = old ? old->size : 1;
  if (old && count < old->capacity) {
    old->runs()[old->size++] = run;
    return;
  }
  // A list longer than the address space holds runs cannot arise; the check keeps the
  // capacity in its field.
  if (count >= UINT32_MAX / 2) throw std::bad_alloc();
  const uint32_t capacity = std::max<uint32_t>(kFirstSpill, static_cast<uint32_t>(count * 2));
  auto* grown = static_cast<Spill*>(memory->allocate(spillBytes(capacity), alignof(Spill)));
  grown->memory = memory;
  grown->capacity = capacity;
  grown->size = static_cast<uint32_t>(count + 1);
  std::copy(begin(), end(), grown->runs());
  grown->runs()[count] = run;
  if (old) old->memory->deallocate(old, spillBytes(old->capacity), alignof(Spill));
  setSpill(grown);
}

void RunList::erase(LineRun** pos) {
  if (!spilled()) {
    m_word = nullptr;
    return;
  }
  Spill* s = spill();
  std::copy(pos + 1, s->runs() + s->size, pos);
  --s->size;
}

void RunList::truncate(LineRun** from) {
  if (!spilled()) {
    if (from == &m_word) m_word = nullptr;
    return;
  }
  Spill* s = spill();
  s->size = static_cast<uint32_t>(from - s->runs());
}

}  // namespace internal
}  // namespace ZOR_3_12
