#include "store/value.h"

#include <new>

#include "store/memory_budget.h"
#include "store/value_ref.h"

namespace pendrakel {

Value::Value(uint32_t size, int64_t expiry, uint16_t nameLength,
             uint16_t contentTypeLength)
    : size_(size),
      nameLength_(nameLength),
      contentTypeLength_(contentTypeLength) {
  std::memcpy(expiry_, &expiry, sizeof expiry);
}

ValueRef Value::Create(std::string_view name, std::string_view contentType,
                       uint32_t size, int64_t expiry, MemoryBudget& budget) {
  if (name.size() > kMaxValueNameBytes ||
      contentType.size() > kMaxContentTypeBytes) {
    return {};
  }
  const bool long_lengths =
      name.size() >= kLongLengths || contentType.size() >= kLongLengths;
  void* block =
      budget.Allocate(size, RecordBytes(name.size(), contentType.size()));
  if (block == nullptr) return {};
  if (!FitsEntry(block)) {
    budget.GiveBack(block, size, RecordBytes(name.size(), contentType.size()));
    return {};
  }
  auto* value =
      long_lengths ? new (block) Value(size, expiry, kLongLengths, kLongLengths)
                   : new (block)
                         Value(size, expiry, static_cast<uint16_t>(name.size()),
                               static_cast<uint16_t>(contentType.size()));
  char* trailer = static_cast<char*>(block) + sizeof(Value);
  if (long_lengths) {
    const uint32_t lengths[2] = {static_cast<uint32_t>(name.size()),
                                 static_cast<uint32_t>(contentType.size())};
    std::memcpy(trailer, lengths, sizeof lengths);
    trailer += sizeof lengths;
  }
  if (!name.empty()) std::memcpy(trailer, name.data(), name.size());
  if (!contentType.empty()) {
    std::memcpy(trailer + name.size(), contentType.data(), contentType.size());
  }
  return ValueRef::Adopt(value, {&budget});
}

void Value::Release(MemoryBudget& budget) {
  if (!refCount_.Drop()) return;
  const uint32_t size = size_;
  const size_t recordBytes = RecordBytes(nameLength(), contentTypeLength());
  this->~Value();
  budget.GiveBack(this, size, recordBytes);
}

}  // namespace pendrakel
