// The layout of an image as callers see it: segments (loaded pieces), sections (named
// headers), addresses inside the image, byte buffers read from the file, and thunks.
#ifndef ZOR_IMAGE_H_
#define ZOR_IMAGE_H_

#include <cstdint>

#include <zor/fwd.h>
#include <zor/object.h>

namespace ZOR_3_12 {

// Bytes read from a file; size 0 when the allocation failed.
class IBuffer : public ISymMgrObject {
 public:
  virtual uint64_t size() = 0;
  virtual unsigned char* data() = 0;
};

// A loaded piece of the image (a PE section, an ELF loadable segment). Not counted: owned by
// its loader and valid while the loader lives.
class ISegment {
 public:
  virtual const wchar_t* name() = 0;
  virtual uint64_t fileSize() = 0;
  virtual uint64_t size() = 0;        // bytes in memory
  virtual uint64_t rva() = 0;         // start relative to the loader's imageBase
  virtual uint64_t fileOffset() = 0;
  virtual uint32_t kind() = 0;        // segment_kind_t
  // Both answer true when the buffer came back empty.
  virtual bool readData(uint64_t offset, uint64_t size, SymMgrObjectPtr<IBuffer>& out) = 0;
  virtual bool readAllData(SymMgrObjectPtr<IBuffer>& out) = 0;

 protected:
  ~ISegment() = default;
};

// A named section header, made on demand.
class ISection : public ISymMgrObject {
 public:
  virtual const wchar_t* name() = 0;
  virtual uint64_t size() = 0;
  virtual uint64_t fileOffset() = 0;
  virtual uint64_t address() = 0;  // ELF: sh_addr; PE: VirtualAddress (relative)
  virtual bool readData(uint64_t offset, uint64_t size, SymMgrObjectPtr<IBuffer>& out) = 0;
  virtual bool readAllData(SymMgrObjectPtr<IBuffer>& out) = 0;
};

// An address inside a segment of one image. Comparisons look at the absolute address only.
class IAddress : public ISymMgrObject {
 public:
  virtual uint64_t rva() = 0;
  virtual uint64_t va() = 0;
  virtual ISegment* segment() = 0;
  virtual uint64_t segmentOffset() = 0;
  virtual uint64_t fileOffset() = 0;
  virtual bool equals(IAddress& other) = 0;
  virtual bool notEquals(IAddress& other) = 0;
  virtual bool greater(IAddress& other) = 0;
  virtual bool less(IAddress& other) = 0;
};

enum thunk_kind_t : uint32_t {
  THUNK_KIND_INCREMENTAL_LINK = 0,
  THUNK_KIND_IMPORT = 1,
};

// A short stub of code that belongs to a symbol (PLT entry, import or incremental-link
// thunk). Owned by its scope; counting comes from its implementation.
class IThunk {
 public:
  virtual const wchar_t* name() = 0;
  virtual uint32_t thunkKind() = 0;

 protected:
  ~IThunk() = default;
};

}  // namespace ZOR_3_12

#endif  // ZOR_IMAGE_H_
