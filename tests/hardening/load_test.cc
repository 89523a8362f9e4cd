// Load tests of pendrakel-host with the real store: client threads over
// keep-alive connections mix every operation, on names all of them share
// and on thousands of collections of their own, with Distribute on and off.
// Each client checks every answer against what it knows and tallies what
// the answers said; at the end every counter of STAT equals the exact sum of
// those tallies, and once everything is deleted no byte is left charged.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/hardening/build_speed.h"
#include "tests/hardening/store_host.h"
#include "tests/server/http_client.h"

namespace pendrakel::testing {
namespace {

constexpr int kThreads = 8;
constexpr int kRequestsPerThread = 3000 / kSlowdownFactor;
// Collections each thread owns alone ("thousands of cookies" in all).
constexpr int kOwnCollectionsPerThread = 300 / kSlowdownFactor;
// Collections every thread works in at once, and the names used there.
constexpr int kCommonCollections = 3;
constexpr int kCommonNames = 8;
constexpr int kOwnNames = 4;
// Most values are small; some go past the host's preload.
constexpr size_t kSmallValueBytes = 1500;
constexpr size_t kLargeValueBytes = 70000;

// What the answers told one client, summed over all clients at the end.
struct Tally {
  uint64_t reads = 0, found = 0, missing = 0;
  uint64_t stores = 0, created = 0, replaced = 0;
  uint64_t deletes = 0, deleted = 0;
  uint64_t nops = 0, unknown = 0, stats = 0;
  uint64_t collections_made = 0;  // per-cookie collections the host made
  uint64_t cookies_handed_out = 0;
  uint64_t wrong = 0;
  std::string first_wrong;

  void Add(const Tally& other) {
    reads += other.reads;
    found += other.found;
    missing += other.missing;
    stores += other.stores;
    created += other.created;
    replaced += other.replaced;
    deletes += other.deletes;
    deleted += other.deleted;
    nops += other.nops;
    unknown += other.unknown;
    stats += other.stats;
    collections_made += other.collections_made;
    cookies_handed_out += other.cookies_handed_out;
    wrong += other.wrong;
    if (first_wrong.empty()) first_wrong = other.first_wrong;
  }
};

// A collection as one client sees it. `known` is set for a collection only
// this client uses: then `values` is exactly what it holds.
struct Collection {
  std::string cookie;  // the Cookie header text; empty: none (yet)
  bool used = false;
  bool known = false;
  std::map<std::string, std::string> values;
};

enum class Op {
  kPut,
  kSet,
  kGet,
  kHead,
  kGetCommand,
  kDelete,
  kDelCommand,
  kNoop,
  kNopCommand,
  kUnknownMethod,
  kUnknownCommand
};

class LoadClient {
 public:
  LoadClient(int port, bool distribute, unsigned seed)
      : client_(port), distribute_(distribute), random_(seed) {}

  Tally& tally() { return tally_; }

  // One request of `op` on `name` in `collection`, checked and tallied.
  // False when the connection failed.
  bool Run(Op op, Collection& collection, const std::string& name) {
    std::string headers;
    if (!collection.cookie.empty())
      headers = "Cookie: " + collection.cookie + "\r\n";
    const std::string body = MakeBody(op, name);
    if (!client_.Send(MakeRequestFor(op, name, headers, body)))
      return Wrong("send failed");
    const auto answer = client_.Read(op == Op::kHead);
    if (!answer) return Wrong("no answer");
    CheckCookie(*answer, collection);
    Check(op, *answer, collection, name, body);
    return true;
  }

  bool Stat() {
    const auto report = ReadStat(client_);
    if (!report) return Wrong("STAT failed");
    ++tally_.stats;
    return true;
  }

  std::mt19937& random() { return random_; }

 private:
  std::string MakeBody(Op op, const std::string& name) {
    if (op != Op::kPut && op != Op::kSet) return "";
    const size_t size =
        random_() % 50 == 0 ? kLargeValueBytes : random_() % kSmallValueBytes;
    std::string body = name + "|" + std::to_string(++sequence_) + "|";
    body.resize(std::max(size, body.size()), 'v');
    return body;
  }

  static std::string MakeRequestFor(Op op, const std::string& name,
                                    const std::string& headers,
                                    const std::string& body) {
    const std::string named = headers + "X-Param-Name: " + name + "\r\n";
    switch (op) {
      case Op::kPut:
        return MakeRequest("PUT", "/" + name, headers, body);
      case Op::kSet:
        return MakeRequest("POST", "/set", named, body);
      case Op::kGet:
        return MakeRequest("GET", "/" + name, headers);
      case Op::kHead:
        return MakeRequest("HEAD", "/" + name, headers);
      case Op::kGetCommand:
        return MakeRequest("POST", "/GET", named);
      case Op::kDelete:
        return MakeRequest("DELETE", "/" + name, headers);
      case Op::kDelCommand:
        return MakeRequest("POST", "/del", named);
      case Op::kNoop:
        return MakeRequest("NOOP", "/" + name, headers);
      case Op::kNopCommand:
        return MakeRequest("POST", "/nop", named);
      case Op::kUnknownMethod:
        return MakeRequest("PATCH", "/" + name, headers);
      case Op::kUnknownCommand:
        return MakeRequest("POST", "/bogus", named);
    }
    return "";
  }

  // A collection without a cookie gets one handed out (Distribute on) or is
  // the shared one; a collection with one is found by it.
  bool CheckCookie(const HttpResponse& answer, Collection& collection) {
    const auto handed_out = answer.Header("Set-Cookie");
    if (distribute_ && collection.cookie.empty()) {
      if (!handed_out) return Wrong("no cookie handed out");
      collection.cookie = *handed_out;
      ++tally_.cookies_handed_out;
      ++tally_.collections_made;
    } else if (handed_out) {
      return Wrong("unexpected Set-Cookie " + *handed_out);
    } else if (!distribute_ && !collection.cookie.empty() && !collection.used) {
      ++tally_.collections_made;  // the host made it silently
    }
    collection.used = true;
    return true;
  }

  // False when the answer is not one the request may get.
  bool Check(Op op, const HttpResponse& answer, Collection& collection,
             const std::string& name, const std::string& body) {
    const bool command = op == Op::kSet || op == Op::kGetCommand ||
                         op == Op::kDelCommand || op == Op::kNopCommand;
    if (command && answer.status != 200) return Wrong(answer.status_line);
    const bool success =
        command ? answer.Header("x-result-code") == "0" : answer.status < 300;
    auto& values = collection.values;
    const bool had = values.count(name) != 0;
    switch (op) {
      case Op::kPut:
      case Op::kSet:
        ++tally_.stores;
        if (!success) return Wrong("store failed: " + answer.status_line);
        if (collection.known && op == Op::kPut &&
            answer.status != (had ? 204 : 201))
          return Wrong("store answered " + answer.status_line);
        if (collection.known || op == Op::kPut)
          ++((collection.known ? had : answer.status == 204) ? tally_.replaced
                                                             : tally_.created);
        values[name] = body;
        return true;
      case Op::kGet:
      case Op::kHead:
      case Op::kGetCommand:
        ++tally_.reads;
        ++(success ? tally_.found : tally_.missing);
        if (collection.known && success != had)
          return Wrong("read of " + name + ": " + answer.status_line);
        if (!success && op != Op::kGetCommand && answer.status != 404)
          return Wrong(answer.status_line);
        return !success || op == Op::kHead ||
               CheckBody(answer.body, collection, name);
      case Op::kDelete:
      case Op::kDelCommand:
        ++tally_.deletes;
        if (op == Op::kDelete) {
          if (answer.status != 200 && answer.status != 404)
            return Wrong(answer.status_line);
          if (collection.known && (answer.status == 200) != had)
            return Wrong("delete of " + name + ": " + answer.status_line);
          tally_.deleted += answer.status == 200;
        } else {
          if (!success) return Wrong("del failed");
          tally_.deleted += had;  // only own collections use the command
        }
        values.erase(name);
        return true;
      case Op::kNoop:
      case Op::kNopCommand:
        ++tally_.nops;
        return success || Wrong(answer.status_line);
      case Op::kUnknownMethod:
      case Op::kUnknownCommand:
        ++tally_.unknown;
        return answer.status == (op == Op::kUnknownMethod ? 501 : 404) ||
               Wrong(answer.status_line);
    }
    return Wrong("unknown operation");
  }

  // A read of an own collection gives exactly what was stored last; one of
  // a common collection gives a value some client stored under that name.
  bool CheckBody(const std::string& got, const Collection& collection,
                 const std::string& name) {
    if (collection.known) {
      const auto expected = collection.values.find(name);
      return (expected != collection.values.end() && got == expected->second) ||
             Wrong("wrong value of " + name);
    }
    return got.rfind(name + "|", 0) == 0 ||
           Wrong("value of " + name + " holds " + got.substr(0, 40));
  }

  bool Wrong(const std::string& what) {
    if (tally_.wrong++ == 0) tally_.first_wrong = what;
    return false;
  }

  HttpClient client_;
  bool distribute_;
  std::mt19937 random_;
  uint64_t sequence_ = 0;
  Tally tally_;
};

Op PickOp(std::mt19937& random, bool own) {
  // Common collections see only answers that say exactly what happened.
  static constexpr Op kOwnOps[] = {
      Op::kPut,           Op::kPut,           Op::kSet,  Op::kSet,
      Op::kGet,           Op::kGet,           Op::kHead, Op::kGetCommand,
      Op::kDelete,        Op::kDelCommand,    Op::kNoop, Op::kNopCommand,
      Op::kUnknownMethod, Op::kUnknownCommand};
  static constexpr Op kCommonOps[] = {
      Op::kPut,  Op::kPut,        Op::kPut,    Op::kGet,  Op::kGet,
      Op::kHead, Op::kGetCommand, Op::kDelete, Op::kNoop, Op::kNopCommand};
  return own ? kOwnOps[random() % std::size(kOwnOps)]
             : kCommonOps[random() % std::size(kCommonOps)];
}

// One client thread: a mix over its own collections and the common ones,
// then it deletes what its own collections hold.
void RunClient(int port, bool distribute, int thread,
               const std::vector<Collection>& common_template, Tally& out) {
  LoadClient client(port, distribute, 1000u + static_cast<unsigned>(thread));
  std::vector<Collection> own(kOwnCollectionsPerThread);
  for (int i = 0; i < kOwnCollectionsPerThread; ++i) {
    own[i].known = true;
    if (!distribute)
      own[i].cookie =
          "load-t" + std::to_string(thread) + "-c" + std::to_string(i);
  }
  std::vector<Collection> common = common_template;
  auto& random = client.random();
  bool connected = true;
  for (int i = 0; i < kRequestsPerThread && connected; ++i) {
    const unsigned pick = random() % 100;
    if (pick < 2) {
      connected = client.Stat();
    } else if (pick < 55) {
      Collection& target = own[random() % own.size()];
      connected = client.Run(PickOp(random, true), target,
                             "p" + std::to_string(random() % kOwnNames));
    } else {
      Collection& target = common[random() % common.size()];
      connected = client.Run(PickOp(random, false), target,
                             "s" + std::to_string(random() % kCommonNames));
    }
  }
  for (Collection& collection : own) {
    std::vector<std::string> names;
    for (const auto& [name, value] : collection.values) names.push_back(name);
    for (const std::string& name : names) {
      if (connected) connected = client.Run(Op::kDelete, collection, name);
    }
  }
  out = client.tally();
}

class HostLoad : public ::testing::TestWithParam<bool> {};

TEST_P(HostLoad, CountersAddUpExactlyAndEveryByteComesBack) {
  const bool distribute = GetParam();
  auto host = StoreHost::Start(
      distribute ? "<S><Cookie Distribute=\"true\"/></S>" : "");
  ASSERT_TRUE(host);
  const int port = host->port();
  // The common collections: the shared one and cookies of their own
  // (Distribute off), or cookies handed out first (Distribute on).
  LoadClient setup(port, distribute, 7);
  std::vector<Collection> common(kCommonCollections);
  for (int i = 0; i < kCommonCollections; ++i) {
    if (!distribute) {
      if (i > 0) common[i].cookie = "load-common-" + std::to_string(i);
      common[i].used = i == 0;
    }
    ASSERT_TRUE(setup.Run(Op::kNoop, common[i], "x"));
  }
  std::vector<Tally> tallies(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back(
        [&, t] { RunClient(port, distribute, t, common, tallies[t]); });
  }
  for (std::thread& thread : threads) thread.join();
  for (Collection& collection : common) {
    for (int n = 0; n < kCommonNames; ++n)
      ASSERT_TRUE(setup.Run(Op::kDelete, collection, "s" + std::to_string(n)));
  }
  Tally all = setup.tally();
  for (const Tally& tally : tallies) all.Add(tally);
  EXPECT_EQ(all.wrong, 0u) << all.first_wrong;
  EXPECT_GT(all.collections_made, kThreads * kOwnCollectionsPerThread / 2u);

  const auto report = ReadStat(port);
  ASSERT_TRUE(report);
  const std::map<std::string, uint64_t> expected = {
      {"X-Memory-Total", 0},
      {"X-Counter-CMD-Stat", all.stats},
      {"X-Counter-CMD-Get", all.reads},
      {"X-Counter-CMD-Get_OK", all.found},
      {"X-Counter-CMD-Get-NotFound", all.missing},
      {"X-Counter-CMD-Set", all.stores},
      {"X-Counter-CMD-Set-OK", all.stores},
      {"X-Counter-CMD-Set-NoMemory", 0},
      {"X-Counter-CMD-Del", all.deletes},
      {"X-Counter-CMD-Nop", all.nops},
      {"X-Counter-CMD-Unknown", all.unknown},
      {"X-Counter-ValuesCollect", 0},
      {"X-Counter-ValuesCreate", 1 + all.collections_made},
      {"X-Counter-ValuesError", 0},
      {"X-Counter-ValueCollect", 0},
      {"X-Counter-ValueCreate", all.created},
      {"X-Counter-ValueReplace", all.replaced},
      {"X-Counter-ValueDelete", all.deleted},
      {"X-Counter-CookieDistribute", all.cookies_handed_out},
  };
  for (const auto& [name, value] : expected)
    EXPECT_EQ(StatValue(report, name), value) << name;
  EXPECT_EQ(report->size(), expected.size());
  EXPECT_EQ(all.created, all.deleted);
}

INSTANTIATE_TEST_SUITE_P(Distribute, HostLoad, ::testing::Bool(),
                         [](const auto& info) {
                           return info.param ? "On" : "Off";
                         });

}  // namespace
}  // namespace pendrakel::testing
