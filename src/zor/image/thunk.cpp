#include "zor/image/thunk.h"

#include <cwchar>

namespace ZOR_3_12 {

const wchar_t* ImportThunk::name() {
  ISymbol* symbol = m_owner != nullptr ? m_owner->symbol() : nullptr;
  const wchar_t* name = symbol != nullptr ? symbol->name() : nullptr;
  return name != nullptr ? name : L"";
}

// Incremental-link thunks have no names of their own; their distance from the first one
// tells them apart and is stable across loads of the same image.
const wchar_t* DiaILTThunk::name() {
  if (m_name.empty()) {
    wchar_t distance[21];
    std::swprintf(distance, sizeof(distance) / sizeof(distance[0]), L"%llx",
                  static_cast<unsigned long long>(m_start - m_firstThunk));
    m_name = L"@ILT+";
    m_name += distance;
  }
  return m_name.c_str();
}

}  // namespace ZOR_3_12
