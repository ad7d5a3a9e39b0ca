#include "zor/image/byte_buffer.h"

#include <cstdlib>
#include <limits>

namespace ZOR_3_12 {

// The whole size takes part in the allocation (a size cut to 32 bits would leave the
// reported size larger than the memory behind it). The memory is zeroed so that a short or
// failed read never exposes stale heap contents.
ByteBuffer::ByteBuffer(uint64_t size) : SymMgrObject<IBuffer>(nullptr), m_data(nullptr), m_size(0) {
  if (size == 0 || size > std::numeric_limits<size_t>::max()) return;
  m_data = static_cast<unsigned char*>(std::calloc(static_cast<size_t>(size), 1));
  if (m_data != nullptr) m_size = size;
}

ByteBuffer::~ByteBuffer() { std::free(m_data); }

}  // namespace ZOR_3_12
