#include "persist/store_view.h"

#include <new>
#include <string>

#include "persist/record_batch.h"
#include "store/cookie_table.h"
#include "store/shared_values.h"
#include "store/value.h"
#include "store/values.h"

namespace pendrakel {
namespace {

void AppendTouch(const Values& values, int64_t since,
                 std::vector<TouchRecord>& touches) {
  const int64_t lastAccess = values.lastAccess();
  if (lastAccess != 0 && lastAccess >= since)
    touches.push_back({values.id(), lastAccess});
}

}  // namespace

void StoreView::AppendTouches(std::vector<TouchRecord>& touches, bool all) {
  const int64_t since =
      all ? std::numeric_limits<int64_t>::min() : touchedSince_;
  touchedSince_ = clock_() - kTouchOverlapSeconds;
  cookies_.VisitInSlices(
      [&] {
        try {
          touches.reserve(touches.size() + kWalkSliceEntries);
        } catch (const std::bad_alloc&) {
          return false;  // the rest waits for the next walk
        }
        return true;
      },
      [&](std::string_view, const ValuesRef& values) {
        AppendTouch(*values, since, touches);
      });
  if (ValuesRef current = shared_.AcquireUntouched()) {
    touches.reserve(touches.size() + 1);
    AppendTouch(*current, since, touches);
  }
}

bool StoreView::Snapshot(SnapshotSink& sink) {
  const int64_t now = clock_();
  recordsAtPause_ = 0;
  // One slice of the table at a time: handles on its collections and a
  // copy of their cookies (an entry's own text may go once the table's
  // lock is given up).
  std::vector<ValuesRef> slice;
  std::vector<size_t> cookieEnds;
  std::string cookies;
  bool going = true, outOfRoom = false;
  const auto addSlice = [&] {
    size_t start = 0;
    for (size_t i = 0; going && i < slice.size(); ++i) {
      const std::string_view cookie(cookies.data() + start,
                                    cookieEnds[i] - start);
      going =
          AddCollection(sink, *slice[i], CollectionKind::kCookie, cookie, now);
      start = cookieEnds[i];
    }
    slice.clear();
    cookieEnds.clear();
    cookies.clear();
    return going && MaybePause(sink, false);
  };
  cookies_.VisitInSlices(
      [&] {
        if (!addSlice() || outOfRoom) return false;
        slice.reserve(kWalkSliceEntries);
        cookieEnds.reserve(kWalkSliceEntries);
        cookies.reserve(kWalkSliceEntries * cookies_.longestKey());
        return true;
      },
      [&](std::string_view cookie, const ValuesRef& values) {
        // Nothing grows (and so frees) under the table's lock: a cookie
        // longer than any the room was made for gives this snapshot up.
        if (cookies.capacity() - cookies.size() < cookie.size()) {
          outOfRoom = true;
          return;
        }
        cookies.append(cookie);
        slice.push_back(values.Share());
        cookieEnds.push_back(cookies.size());
      });
  if (outOfRoom) return false;  // tried again later
  if (!addSlice()) return false;
  if (ValuesRef current = shared_.AcquireUntouched()) {
    if (!AddCollection(sink, *current, CollectionKind::kShared, {}, now))
      return false;
  }
  return MaybePause(sink, true);
}

bool StoreView::AddCollection(SnapshotSink& sink, Values& values,
                              CollectionKind kind, std::string_view cookie,
                              int64_t now) {
  sink.batch().AddCollection({values.id(), values.lastAccess(), kind, cookie});
  ++sink.counts().collections;
  Values::SliceCursor cursor;
  std::vector<ValueRef> taken;
  while (values.Slice(cursor, kSnapshotSliceValues, now, taken)) {
    for (ValueRef& value : taken) {
      sink.batch().AddPut({values.id(), value->expiry(), value->name(),
                           value->contentType(),
                           Bytes(value->data(), value->size())});
      ++sink.counts().values;
      sink.Hold(std::move(value));
    }
    taken.clear();
    if (!MaybePause(sink, false)) return false;
  }
  return true;
}

bool StoreView::MaybePause(SnapshotSink& sink, bool always) {
  const uint64_t records = sink.counts().values + sink.counts().collections;
  if (!always && records - recordsAtPause_ < kSnapshotSliceValues) return true;
  recordsAtPause_ = records;
  return sink.BetweenSlices();
}

}  // namespace pendrakel
