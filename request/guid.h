// Random GUIDs for new cookies. Holding a cookie is the only thing that
// keeps one client out of another client's values, so their bits come from
// the kernel's cryptographically secure generator.
#ifndef PENDRAKEL_REQUEST_GUID_H_
#define PENDRAKEL_REQUEST_GUID_H_

#include <cstdint>

namespace pendrakel {

struct Guid {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};

// Fills `guid`; false when no random bytes could be had.
using GuidSource = bool (*)(Guid* guid);

// A version-4 GUID from getrandom(2).
bool RandomGuid(Guid* guid);

// Writes the 32 lowercase hexadecimal digits of `guid` (Data1, Data2, Data3,
// then Data4 in index order, each zero-padded) to `out`.
void FormatGuidDigits(const Guid& guid, char out[32]);

}  // namespace pendrakel

#endif  // PENDRAKEL_REQUEST_GUID_H_
