// Names and payloads shared by the micro-benchmarks: the same shapes the
// end-to-end benchmark stores (16-byte names, 100-byte values), so that the
// figures of both can be set side by side.
#ifndef PENDRAKEL_BENCH_BENCH_NAMES_H_
#define PENDRAKEL_BENCH_BENCH_NAMES_H_

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

namespace pendrakel::bench {

// Bytes of a value's data and of its name.
inline constexpr size_t kValueBytes = 100;
inline constexpr size_t kNameBytes = 16;

// "n" and fifteen digits: exactly kNameBytes, and "/" + name is a path.
// (The buffer has room for any size_t, which keeps the compiler's format
// check quiet; indexes stay below 10^15.)
inline std::string BenchName(size_t index) {
  char text[24];
  std::snprintf(text, sizeof text, "n%015zu", index);
  return std::string(text, kNameBytes);
}

inline std::vector<std::string> BenchNames(size_t count) {
  std::vector<std::string> names;
  names.reserve(count);
  for (size_t i = 0; i < count; ++i) names.push_back(BenchName(i));
  return names;
}

// Walks an index over [0, count) in a fixed scattered order, so that
// consecutive lookups do not hit neighbouring entries. The stride is a prime
// larger than any count used here, hence coprime with it: the walk visits
// every index once per round.
class ScatteredIndex {
 public:
  explicit ScatteredIndex(size_t count) : count_(count) {}
  size_t Next() {
    position_ = (position_ + kStride) % count_;
    return position_;
  }

 private:
  static constexpr size_t kStride = 15'485'863;
  size_t count_;
  size_t position_ = 0;
};

}  // namespace pendrakel::bench

#endif  // PENDRAKEL_BENCH_BENCH_NAMES_H_
