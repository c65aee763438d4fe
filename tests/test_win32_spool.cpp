// The spool through the Win32 file calls: rows in order, a torn line set aside, the queue
// emptied in place while it is open elsewhere, and one sender at a time.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/win32_text.h"
#include "post/spool.h"

namespace {

namespace fs = std::filesystem;

spool::PostOutcome Delivered() {
  spool::PostOutcome outcome;
  outcome.verdict = spool::PostOutcome::Verdict::Delivered;
  return outcome;
}

class SpoolTest : public ::testing::Test {
 protected:
  SpoolTest()
      : m_root(fs::temp_directory_path() /
               ("charger-spool-" + std::to_string(GetCurrentProcessId()))) {
    fs::remove_all(m_root);
  }
  ~SpoolTest() override {
    std::error_code ignored;
    fs::remove_all(m_root, ignored);
  }
  // A folder two levels down, with a name beyond ASCII, as a user's profile may have.
  std::string Folder() const { return Narrow((m_root / L"Prüfplatz" / L"spool").wstring()); }

  fs::path m_root;
};

TEST_F(SpoolTest, RowsGoOutInOrderAndATornLineIsSetAside) {
  std::string error;
  auto queue = spool::Spool::Open(Folder(), &error);
  ASSERT_TRUE(queue) << error;
  ASSERT_TRUE(queue->Add(R"({"time":"T1","id":"a1"})", &error)) << error;
  {
    std::ofstream torn(fs::path(Widen(Folder())) / L"queue.jsonl",
                       std::ios::app | std::ios::binary);
    torn << R"({"time":"T2","id":"b)";
  }
  ASSERT_TRUE(queue->Add(R"({"time":"T3","id":"c3"})", &error)) << error;
  auto counts = spool::Spool::Look(Folder(), &error);
  ASSERT_TRUE(counts) << error;
  EXPECT_EQ(counts->queued, 3u);
  EXPECT_EQ(counts->oldestTime, "T1");

  std::vector<std::string> sent;
  const auto end = queue->SendRows(
      [&](const spool::QueuedRow& row) {
        sent.push_back(row.id);
        return Delivered();
      },
      [] { return true; }, &error);
  EXPECT_EQ(end, spool::PassEnd::Empty) << error;
  EXPECT_EQ(sent, (std::vector<std::string>{"a1", "c3"}));
  counts = spool::Spool::Look(Folder(), &error);
  ASSERT_TRUE(counts) << error;
  EXPECT_EQ(counts->queued, 0u);
  EXPECT_EQ(counts->setAside, 1u);
  EXPECT_EQ(fs::file_size(fs::path(Widen(Folder())) / L"queue.jsonl"), 0u) << "emptied in place";

  ASSERT_TRUE(queue->Add(R"({"time":"T4","id":"d4"})", &error)) << error;
  EXPECT_EQ(spool::Spool::Look(Folder(), &error)->queued, 1u);
}

// While one sender posts a row, another (its own handles, as another program has) is kept out.
TEST_F(SpoolTest, ASecondSenderWaitsForTheFirst) {
  std::string error;
  auto first = spool::Spool::Open(Folder(), &error);
  auto second = spool::Spool::Open(Folder(), &error);
  ASSERT_TRUE(first && second) << error;
  ASSERT_TRUE(first->Add(R"({"time":"T1","id":"a1"})", &error)) << error;
  ASSERT_TRUE(first->Add(R"({"time":"T2","id":"b2"})", &error)) << error;
  std::vector<std::string> sent;
  spool::PassEnd inner = spool::PassEnd::Empty;
  first->SendRows(
      [&](const spool::QueuedRow& row) {
        if (sent.empty())
          inner = second->SendRows([](const spool::QueuedRow&) { return Delivered(); },
                                   [] { return true; }, &error);
        sent.push_back(row.id);
        return Delivered();
      },
      [] { return true; }, &error);
  EXPECT_EQ(inner, spool::PassEnd::Busy);
  EXPECT_EQ(sent, (std::vector<std::string>{"a1", "b2"}));
}

}  // namespace
