#include "server/channel_list.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

#include "support/log_capture.h"
#include "support/process.h"

namespace {

std::string listed(const ChannelList& list) {
  std::string text;
  for (int32_t i = 0; i < list.count; ++i) {
    text += std::to_string(list.channels[i].id) + "=" + std::string(channelName(list, i).data, channelName(list, i).size) + ";";
  }
  return text;
}

TEST(ChannelListTest, ReadsGoodFilesAndNamesTheLineOfEachFault) {
  const struct {
    std::string file;
    std::string channels;  // id=name; ... when good
    int line;              // of the fault, when bad
    std::string what;
  } cases[] = {
      {"1 News\n2\tSport 2 \r\n\n  # 3 Not yet\n10 Films, \"Classics\" <&>\n", "1=News;2=Sport 2;10=Films, \"Classics\" <&>;",
       0, ""},
      {"", "", 0, ""},
      {"7 Télé 日本", "7=Télé 日本;", 0, ""},
      {"# only\n\n", "", 0, ""},
      {"1 A\nx B\n", "", 2, "no channel id (a whole number from 1) at the start of the line"},
      {"1 A\n\n12a B\n", "", 3, "no channel id (a whole number from 1) at the start of the line"},
      {"-1 A\n", "", 1, "no channel id (a whole number from 1) at the start of the line"},
      {"0 Zero\n", "", 1, "the channel id 0 is not from 1 to 2147483647"},
      {"2147483648 Big\n", "", 1, "the channel id 2147483648 is not from 1 to 2147483647"},
      {"1 A\n5  \t\n", "", 2, "channel 5 has no name"},
      {"5\n", "", 1, "channel 5 has no name"},
      {"1 A\n2 B\n# c\n1 C\n", "", 4, "channel 1 is given twice"},
      {"1 A\xff\n", "", 1, "the name is not UTF-8"},
      {"1 A\x1b[31m\n", "", 1, "a control character in the name"},
  };
  for (const auto& c : cases) {
    ChannelListFault fault;
    ChannelList* list = parseChannelList(c.file, &fault);
    if (c.what.empty()) {
      ASSERT_NE(list, nullptr) << c.file << fault.what;
      EXPECT_EQ(listed(*list), c.channels) << c.file;
    } else {
      EXPECT_EQ(list, nullptr) << c.file;
      EXPECT_EQ(fault.line, c.line) << c.file;
      EXPECT_EQ(std::string(fault.what), c.what) << c.file;
    }
    closeChannelList(list);
  }
  std::string many;
  for (int id = 1; id <= kMostChannels + 1; ++id) many += std::to_string(id) + " c\n";
  ChannelListFault fault;
  EXPECT_EQ(parseChannelList(many, &fault), nullptr);
  EXPECT_EQ(fault.line, kMostChannels + 1);
}

// Read at start, then again after each change; a broken edit keeps the
// last good list, logged once, and a held list outlives the swap.
TEST(ChannelListTest, ReloadsWhenTheFileChangesAndKeepsTheLastGoodList) {
  testsupport::TempDir dir;
  const std::string path = dir.file("channels.txt");
  testsupport::LogCapture log;
  EXPECT_FALSE(channelListStart(dir.file("missing.txt").c_str()));
  EXPECT_NE(log.text().find("Channel list " + dir.file("missing.txt") + " cannot be read (No such file or directory), exiting!"),
            std::string::npos);
  ASSERT_TRUE(testsupport::writeFile(path, "1 One\n"));
  ASSERT_TRUE(channelListStart(path.c_str()));
  ChannelList* first = channelListHold();
  EXPECT_EQ(listed(*first), "1=One;");

  ASSERT_TRUE(testsupport::writeFile(path, "1 One\n2 Two and more\n"));
  ChannelList* second = channelListHold();
  EXPECT_EQ(listed(*second), "1=One;2=Two and more;");
  EXPECT_EQ(listed(*first), "1=One;");  // still whole for its holder
  channelListLetGo(first);

  ASSERT_TRUE(testsupport::writeFile(path, "1 One\n1 Again\n"));
  for (int i = 0; i < 3; ++i) {
    ChannelList* kept = channelListHold();
    EXPECT_EQ(listed(*kept), "1=One;2=Two and more;");
    channelListLetGo(kept);
  }
  const std::string fault = ":2: channel 1 is given twice; the last good list stays";
  const std::string text = log.text();
  EXPECT_NE(text.find(fault), std::string::npos) << text;
  EXPECT_EQ(text.find(fault), text.rfind(fault)) << "logged once";
  channelListLetGo(second);
}

}  // namespace
