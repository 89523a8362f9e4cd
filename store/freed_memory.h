// Handing memory the heap keeps after large frees back to the system, so
// that the process shrinks again once collections are dropped. Called by
// the background threads after they freed something, never by a request.
#ifndef PENDRAKEL_STORE_FREED_MEMORY_H_
#define PENDRAKEL_STORE_FREED_MEMORY_H_

#include <malloc.h>

namespace pendrakel {

inline void ReturnFreedMemory() { malloc_trim(0); }

}  // namespace pendrakel

#endif  // PENDRAKEL_STORE_FREED_MEMORY_H_
