#include "store/value.h"

#include <cassert>
#include <cstring>
#include <limits>
#include <new>

#include "store/memory_budget.h"

namespace pendrakel {

Value* Value::Create(uint32_t size, std::string_view contentType,
                     int64_t expiry) {
  if (contentType.size() > std::numeric_limits<uint32_t>::max()) {
    return nullptr;
  }
  void* record =
      ::operator new(sizeof(Value) + contentType.size(), std::nothrow);
  if (record == nullptr) return nullptr;
  auto* value = new (record)
      Value(size, static_cast<uint32_t>(contentType.size()), expiry);
  if (!contentType.empty()) {
    std::memcpy(static_cast<char*>(record) + sizeof(Value), contentType.data(),
                contentType.size());
  }
  return value;
}

bool Value::AttachData(MemoryBudget& budget) {
  assert(data_ == nullptr);
  data_ = static_cast<unsigned char*>(budget.Allocate(size_));
  return data_ != nullptr;
}

void Value::Release(MemoryBudget& budget) {
  // acq_rel: the destroying thread sees every write of the other holders.
  if (refCount_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    Destroy(budget);
  }
}

void Value::Destroy(MemoryBudget& budget) {
  budget.GiveBack(data_, size_);
  this->~Value();
  ::operator delete(this);
}

}  // namespace pendrakel
