// StoreModel: a plain, single-threaded account of what the extension should
// hold and answer, kept beside a real extension by the extension fuzzer. For
// every request it predicts the whole response (status text, header block,
// body) and updates its own collections, counters and byte total the way the
// answer says the store changed; the fuzzer compares both after every step.
//
// The model works from the request as the host hands it over (C strings end
// at the first NUL; a value name, or a cookie while cookies are not handed
// out, that does not fit its buffer is refused, any other variable that does
// not counts as absent) and from the GUIDs the
// extension drew for new cookies, which the fuzzer records.
//
// Owned by one fuzz input, used by one thread; it reads the Settings it is
// given, which must outlive it.
#ifndef PENDRAKEL_FUZZ_STORE_MODEL_H_
#define PENDRAKEL_FUZZ_STORE_MODEL_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/settings.h"
#include "request/guid.h"

namespace pendrakel::fuzz {

// A request as the fuzzer hands it to the fake host.
struct RequestSpec {
  std::string method;
  std::string path;
  std::optional<std::string> cookie;
  std::optional<std::string> name;     // X-Param-Name
  std::optional<std::string> timeout;  // X-Param-Timeout
  std::string contentType;
  bool hasBody = false;
  std::string body;
  size_t preload = SIZE_MAX;
  size_t piece = SIZE_MAX;
  size_t deliver = SIZE_MAX;
  // Bytes the request declares (cbTotalBytes) beyond the body it sends.
  uint32_t unsentBytes = 0;
};

// What the extension should send for one request.
struct ExpectedResponse {
  std::string status;
  std::string headers;
  std::string body;
  int writeCalls = 0;
};

// The counters in report order, with the names of their STAT lines.
enum CounterIndex : size_t {
  kCmdStat,
  kCmdGet,
  kCmdGetOk,
  kCmdGetNotFound,
  kCmdSet,
  kCmdSetOk,
  kCmdSetNoMemory,
  kCmdDel,
  kCmdNop,
  kCmdUnknown,
  kValuesCollect,
  kValuesCreate,
  kValuesError,
  kValueCollect,
  kValueCreate,
  kValueReplace,
  kValueDelete,
  kCookieDistribute,
  kCounterCount
};
extern const char* const kCounterLineNames[kCounterCount];

// A GUID the extension drew, or nullopt for a draw that failed.
using GuidDraw = std::optional<Guid>;

class StoreModel {
 public:
  struct Entry {
    std::string bytes;
    std::string contentType;
    int64_t expiry = 0;  // 0 = never
  };
  struct Collection {
    std::map<std::string, Entry> entries;
    int64_t lastAccess = 0;  // 0 = never resolved
  };

  StoreModel(const Settings& settings, uint64_t memoryMax)
      : settings_(settings), memoryMax_(memoryMax) {}
  StoreModel(const StoreModel&) = delete;
  StoreModel& operator=(const StoreModel&) = delete;

  // Predicts the answer to `request` at `now`, given the GUIDs the extension
  // drew while answering it, and applies its effects.
  ExpectedResponse Handle(const RequestSpec& request, int64_t now,
                          const std::vector<GuidDraw>& guids);

  // One pass of each collector at `now`.
  void CollectIdle(int64_t now);
  void CollectExpired(int64_t now);

  uint64_t total() const { return total_; }
  // The sizes of all values held, added up afresh.
  uint64_t SumOfSizes() const;
  const std::array<uint32_t, kCounterCount>& counters() const {
    return counters_;
  }
  const std::map<std::string, Collection>& cookieTable() const {
    return table_;
  }
  const Collection& shared() const { return shared_; }

 private:
  struct Reply;

  ExpectedResponse StatReport();
  // The answer to a request that gets no collection.
  ExpectedResponse Refusal();
  // Whether `command` is get, set or del, the commands that read a name.
  bool NamesAValue(std::string_view command) const;
  Collection* Resolve(const RequestSpec& request, int64_t now,
                      const std::vector<GuidDraw>& guids, std::string& headers);
  Collection* Distribute(int64_t now, const std::vector<GuidDraw>& guids,
                         std::string& headers);
  std::string Remainder(const RequestSpec& request) const;
  void Command(const RequestSpec& request, Collection& values, int64_t now,
               Reply& reply);
  void Method(const RequestSpec& request, std::string_view method,
              Collection& values, int64_t now, Reply& reply);
  void Read(Collection& values, const std::string& name, int64_t now,
            bool withBody, Reply& reply);
  void Store(const RequestSpec& request, Collection& values,
             const std::string& name, int64_t now, Reply& reply);
  void Delete(Collection& values, const std::string& name, Reply& reply);
  void Drop(Collection& values);
  void Count(CounterIndex counter) { ++counters_[counter]; }

  const Settings& settings_;
  const uint64_t memoryMax_;
  std::map<std::string, Collection> table_;
  Collection shared_;
  std::array<uint32_t, kCounterCount> counters_{};
  uint64_t total_ = 0;
};

// The text up to the first NUL, as a C string reader sees it.
std::string CString(std::string_view text);

// The text of a server variable as the extension reads it into a buffer of
// `capacity` bytes: absent, or too long for the buffer with its terminator,
// reads as empty.
std::string Variable(const std::optional<std::string>& value, size_t capacity);
// Whether a server variable is present but too long for such a buffer.
bool TooLong(const std::optional<std::string>& value, size_t capacity);

}  // namespace pendrakel::fuzz

#endif  // PENDRAKEL_FUZZ_STORE_MODEL_H_
