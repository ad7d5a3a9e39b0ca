// Thunks: short stubs of code owned by the scope of the symbol they belong to.
#ifndef ZOR_IMAGE_THUNK_H_
#define ZOR_IMAGE_THUNK_H_

#include <string>

#include <zor/image.h>
#include <zor/symbol.h>

namespace ZOR_3_12 {

class Thunk : public SymMgrObject<IThunk> {
 public:
  Thunk(IScope* owner, uint64_t start, uint64_t size) : SymMgrObject<IThunk>(nullptr), m_owner(owner), m_start(start), m_size(size) {}

  IScope* owner() const { return m_owner; }
  void setOwner(IScope* owner) { m_owner = owner; }
  uint64_t start() const { return m_start; }
  uint64_t thunkSize() const { return m_size; }
  bool contains(uint64_t address) const { return address >= m_start && address - m_start < m_size; }

 protected:
  IScope* m_owner;
  uint64_t m_start;
  uint64_t m_size;
};

// A PLT entry or an import thunk: named after the symbol of its owner scope.
class ImportThunk : public Thunk {
 public:
  using Thunk::Thunk;
  const wchar_t* name() override;
  uint32_t thunkKind() override { return THUNK_KIND_IMPORT; }
};

// An incremental-link trampoline, named "@ILT+" and its distance from the first one in hex.
class DiaILTThunk : public Thunk {
 public:
  DiaILTThunk(IScope* owner, uint64_t start, uint64_t size, uint64_t firstThunk)
      : Thunk(owner, start, size), m_firstThunk(firstThunk) {}
  const wchar_t* name() override;
  uint32_t thunkKind() override { return THUNK_KIND_INCREMENTAL_LINK; }

 private:
  uint64_t m_firstThunk;
  std::wstring m_name;
};

}  // namespace ZOR_3_12

#endif  // ZOR_IMAGE_THUNK_H_
