// The event list on its own: matching across blocks, the first-in-list rule,
// the buffer handed to OnListEvent and how it is sized.
#include <gtest/gtest.h>

#include <string>

#include "vavevi.h"

namespace {

// Feeds a block to the list the way the receive path does; "n@i:buffer" for
// every match.
std::string Feed(TEventList &list, const std::string &block) {
  std::string out;
  const auto *data = reinterpret_cast<const std::uint8_t *>(block.data());
  auto count = static_cast<std::uint32_t>(block.size());
  for (std::uint32_t i = 0; i < count; ++i) {
    int n = list.IsEvent(data[i]);
    if (n < 0) continue;
    list.GetEvent(n).Position = static_cast<std::int32_t>(i);
    std::uint32_t filled = list.SetBufferByEvent(n, data + i + 1, count - i - 1);
    if (!out.empty()) out += " ";
    out += std::to_string(n) + "@" + std::to_string(i) + ":" +
           std::string(reinterpret_cast<const char *>(list.Buffer()), filled);
    EXPECT_EQ(list.Buffer()[filled], 0) << "terminated";
  }
  return out;
}

}  // namespace

TEST(EventList, MatchesReportedWithPositionAndTheRestOfTheBlock) {
  struct Case {
    std::vector<std::string> sequences;
    std::vector<std::string> blocks;  // fed in turn: the state carries over
    std::string expected;             // matches of all blocks
  } cases[] = {
      {{"OK", "ERROR"}, {"xxOKyyERROR"}, "0@3:OKyyERROR 1@10:ERROR"},
      {{"OK", "ERROR"}, {"xxO", "Kyy"}, "0@0:OKyy"},  // split over two blocks
      {{"OK", "K"}, {"OK"}, "0@1:OK"},                // a shared last byte: first wins
      {{"K", "OK"}, {"OK"}, "0@1:K"},                 // in list order
      {{"aab"}, {"aaab"}, ""},                        // the overlap is not followed
      {{"", "AB"}, {"ABAB"}, "1@1:ABAB 1@3:AB"},      // an empty sequence never matches
      {{"OK"}, {"OOKOK"}, "0@2:OKOK 0@4:OK"},
  };
  for (const Case &c : cases) {
    TEventList list;
    for (const std::string &s : c.sequences) list.AddNewEvent(s);
    list.PrepareBuffer(16);
    std::string got;
    for (const std::string &b : c.blocks) {
      std::string part = Feed(list, b);
      if (!part.empty()) got += (got.empty() ? "" : " ") + part;
    }
    EXPECT_EQ(got, c.expected) << "sequences " << c.sequences[0] << " input " << c.blocks[0];
  }
}

TEST(EventList, BufferSizeLongestLengthAndOwnership) {
  TEventList list;
  EXPECT_EQ(list.BufferSize(), 0u);
  list.AddNewEvent("OK");
  list.AddNewEvent("ERROR");
  EXPECT_EQ(list.LongestLength(), 5u);
  list.PrepareBuffer(100);
  EXPECT_EQ(list.BufferSize(), 109u);  // longest + size + 4
  list.PrepareBuffer(10);
  EXPECT_EQ(list.BufferSize(), 109u) << "a smaller need keeps the buffer";

  list.Clear();
  EXPECT_EQ(list.Count(), 0);
  list.AddNewEvent("A");
  EXPECT_EQ(list.LongestLength(), 5u) << "Clear keeps the longest length";

  // A sequence lengthened while the buffer is in use leaves the buffer to
  // the thread that reads it: the copy for OnListEvent grows it there.
  std::string longer(300, 'z');
  list.SetEventString(0, longer);
  EXPECT_EQ(list.LongestLength(), 300u);
  EXPECT_EQ(list.BufferSize(), 109u);
  std::string data(10, 'd');
  EXPECT_EQ(list.SetBufferByEvent(0, reinterpret_cast<const std::uint8_t *>(data.data()), 10),
            310u);
  EXPECT_GE(list.BufferSize(), 310u + 1);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(list.Buffer()), 310), longer + data);

  // SetEventString restarts the match: a state of the old sequence would
  // point past the new one.
  list.SetEventString(0, "abcd");
  Feed(list, "abc");
  EXPECT_EQ(list.GetEvent(0).State, 3u);
  list.SetEventString(0, "xy");
  EXPECT_EQ(list.GetEvent(0).State, 0u);
  EXPECT_EQ(Feed(list, "xy"), "0@1:xy");

  // Add and SetEvent keep copies of the caller's bytes.
  std::uint8_t bytes[] = {'Q', 'R'};
  int i = list.Add(TCommEvent{0, 2, bytes, 0});
  bytes[0] = 'X';
  EXPECT_EQ(list.GetEventString(i), "QR");
  std::uint8_t other[] = {'S', 'T', 'U'};
  list.SetEvent(i, TCommEvent{7, 3, other, 0});
  other[0] = 'X';
  EXPECT_EQ(list.GetEventString(i), "STU");
  EXPECT_EQ(list.GetEvent(i).State, 0u) << "a state past the sequence starts over";
  list.Delete(i);
  EXPECT_EQ(list.Count(), 1);
  list.ResetStates();
}
