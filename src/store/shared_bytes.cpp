#include "store/shared_bytes.hpp"

#include <new>

namespace derirezaro::store {

SharedBytes* SharedBytesRef::allocate_block(size_t size) {
  // A size this close to the address space cannot be met; refuse it before
  // the header's addition wraps round to a small allocation.
  if (size > SIZE_MAX - sizeof(SharedBytes)) throw std::bad_alloc();
  void* memory = detail::allocate(sizeof(SharedBytes) + size);
  detail::count_byte_block(1);
  return new (memory) SharedBytes(size);
}

}  // namespace derirezaro::store
