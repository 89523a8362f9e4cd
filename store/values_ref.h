// ValuesRef: a counted handle on a Values collection (store/counted_ref.h),
// owned by whoever holds it: a cookie table entry, the shared pointer, a
// request, a collector pass. The last release destroys the collection,
// which gives its values' bytes back to its own budget, or hands a large
// one to the lazy free (store/lazy_free.h).
//
// Thread safety: as CountedRef.
#ifndef PENDRAKEL_STORE_VALUES_REF_H_
#define PENDRAKEL_STORE_VALUES_REF_H_

#include "store/counted_ref.h"
#include "store/values.h"

namespace pendrakel {

// How a ValuesRef counts: on the collection's own RefCount.
struct ValuesCounting {
  void AddRef(Values* values) const { values->refCount_.Add(); }
  void Release(Values* values) const { values->Release(); }
};

}  // namespace pendrakel

#endif  // PENDRAKEL_STORE_VALUES_REF_H_
