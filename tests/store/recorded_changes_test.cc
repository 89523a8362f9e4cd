// What the store records on its change queue when persistence is on: the
// order of each name's changes, refusals while writing fails, the undo of
// changes that could not be kept, collections entering and leaving, and the
// walk in slices a snapshot takes.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "store/change_queue.h"
#include "store/cookie_table.h"
#include "store/memory_budget.h"
#include "store/values.h"
#include "tests/store/store_test_util.h"

namespace pendrakel {
namespace {

using testing::Bytes;
using testing::MakeValue;

// Every change queued so far, released.
std::vector<std::string> Drain(ChangeQueue& queue) {
  std::vector<std::string> seen;
  for (Change* change = queue.TakeAll(); change != nullptr;) {
    switch (change->kind()) {
      case Change::Kind::kPut:
        seen.push_back(std::string(change->value()->name()) + "=" +
                       Bytes(*change->value()));
        break;
      case Change::Kind::kRemove:
        seen.push_back("-" + std::string(change->text()));
        break;
      case Change::Kind::kCookieCollection:
        seen.push_back("cookie " + std::string(change->text()) + " " +
                       std::to_string(change->id()));
        break;
      case Change::Kind::kSharedCollection:
        seen.push_back("shared " + std::to_string(change->id()));
        break;
      case Change::Kind::kDrop:
        seen.push_back("drop " + std::to_string(change->id()));
        break;
    }
    Change* next = change->next;
    change->Release();
    change = next;
  }
  return seen;
}

TEST(RecordedChanges, TheLastChangeOfANameIsTheOneTheIndexKept) {
  MemoryBudget budget;
  ChangeQueue queue(false);
  ValuesRef values = Values::Create(budget, nullptr, &queue);
  std::vector<std::thread> writers;
  for (int w = 0; w < 4; ++w) {
    writers.emplace_back([&, w] {
      for (int i = 0; i < 2000; ++i) {
        const std::string bytes = std::to_string(w) + "-" + std::to_string(i);
        ASSERT_NE(values->Put(MakeValue(budget, "one", bytes)),
                  Values::PutOutcome::kNoMemory);
        if (i % 7 == 0) values->Remove("one");
      }
    });
  }
  for (std::thread& writer : writers) writer.join();
  const std::vector<std::string> seen = Drain(queue);
  EXPECT_GE(seen.size(), 8000u);
  Values::GetResult last = values->Get("one", 0);
  EXPECT_EQ(seen.back(), last.value ? "one=" + Bytes(*last.value) : "-one");
}

TEST(RecordedChanges, StoresAndDeletesAreRefusedWhileWritingFails) {
  MemoryBudget budget;
  ChangeQueue queue(false);
  ValuesRef values = Values::Create(budget, nullptr, &queue);
  ASSERT_EQ(values->Put(MakeValue(budget, "a", "1")),
            Values::PutOutcome::kCreated);
  queue.SetAccepting(false);
  EXPECT_EQ(values->Put(MakeValue(budget, "a", "2")),
            Values::PutOutcome::kNotKept);
  EXPECT_EQ(values->Put(MakeValue(budget, "b", "2")),
            Values::PutOutcome::kNotKept);
  EXPECT_EQ(values->Remove("a"), Values::RemoveOutcome::kNotKept);
  EXPECT_EQ(values->Remove("absent"), Values::RemoveOutcome::kAbsent);
  EXPECT_EQ(Bytes(*values->Get("a", 0).value), "1");
  EXPECT_EQ(values->Get("b", 0).value, nullptr);
  EXPECT_EQ(Drain(queue), std::vector<std::string>{"a=1"});
}

TEST(RecordedChanges, AChangeThatMustBeSyncedCarriesItsUndo) {
  MemoryBudget budget;
  ChangeQueue queue(/*answerWhenSynced=*/true);
  ValuesRef values = Values::Create(budget, nullptr, &queue);
  ValueRef first = MakeValue(budget, "a", "first");
  values->Put(first);
  SyncTicket ticket;
  values->Put(MakeValue(budget, "a", "second"), &ticket);
  EXPECT_TRUE(ticket);
  Change* changes = queue.TakeAll();
  ASSERT_NE(changes->next, nullptr);
  const Change& second = *changes->next;
  EXPECT_EQ(second.owner().get(), values.get());
  EXPECT_EQ(second.previous().get(), first.get());
  // Written back as the writer does when the sync fails, even while
  // changes are refused, and recorded.
  queue.SetAccepting(false);
  second.owner()->Restore("a", second.previous());
  EXPECT_EQ(Bytes(*values->Get("a", 0).value), "first");
  values->Restore("a", ValueRef());
  EXPECT_EQ(values->Get("a", 0).value, nullptr);
  for (Change* change = changes; change != nullptr;) {
    Change* next = change->next;
    change->Release();
    change = next;
  }
  ticket.reset();
  EXPECT_EQ(Drain(queue), (std::vector<std::string>{"a=first", "-a"}));
}

TEST(RecordedChanges, CollectionsAreRecordedEnteringAndLeavingTheTable) {
  MemoryBudget budget;
  ChangeQueue queue(false);
  CookieTable table(budget);
  table.RecordChanges(&queue);
  ValuesRef made = table.AcquireOrCreate("c=1", 10).values;
  made->Put(MakeValue(budget, "n", "v"));
  const std::string id = std::to_string(made->id());
  made.reset();
  std::vector<ValuesRef> idle;
  table.CollectIdle(/*now=*/20, /*idleLimit=*/5, idle);
  EXPECT_EQ(Drain(queue), (std::vector<std::string>{"cookie c=1 " + id, "n=v",
                                                    "drop " + id}));
}

TEST(RecordedChanges, ASliceWalkMeetsEveryValueThatStaysWhateverChanges) {
  MemoryBudget budget;
  ValuesRef values = Values::Create(budget);
  std::set<std::string> staying;
  for (int i = 0; i < 5000; ++i) {
    const std::string name = "s" + std::to_string(i);
    values->Put(MakeValue(budget, name, "v"));
    staying.insert(name);
  }
  Values::SliceCursor cursor;
  std::vector<ValueRef> seen;
  int slice = 0;
  while (values->Slice(cursor, 64, 0, seen)) {
    // Between slices: names come (the index grows, and is built anew) and
    // go, the one the walk stopped before among them.
    for (int i = 0; i < 40; ++i)
      values->Put(MakeValue(budget, "n" + std::to_string(slice * 40 + i), ""));
    if (cursor.next) values->Remove(cursor.next->name());
    staying.erase(cursor.next ? std::string(cursor.next->name()) : "");
    ++slice;
  }
  std::set<std::string> met;
  for (const ValueRef& value : seen) met.insert(std::string(value->name()));
  for (const std::string& name : staying)
    EXPECT_TRUE(met.contains(name)) << name;
  EXPECT_GT(cursor.restarts, 0);
}

}  // namespace
}  // namespace pendrakel
