// The record of card production: CSV as spreadsheets read it, one header line.
#include "cli/record.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/test_support.h"
#include "version/version.h"

namespace {

using namespace testing_support;

TEST(Record, FieldsAreQuotedOnlyWhereCsvNeedsIt) {
  const std::pair<std::string, std::string> cases[] = {
      {"done", "done"},
      {"error 5 writing to MMC card.", "error 5 writing to MMC card."},
      {"image of 10 blocks does not fit on card of 4 blocks, sorry",
       "\"image of 10 blocks does not fit on card of 4 blocks, sorry\""},
      {"a \"quoted\" name", "\"a \"\"quoted\"\" name\""},
      {"two\nlines", "\"two\nlines\""},
  };
  for (const auto& c : cases) EXPECT_EQ(cli::csvField(c.first), c.second);
}

TEST(Record, TheHeaderLineComesOnceAtTheTopOfANewFile) {
  ScratchDir scratch;
  const std::string path = scratch.path("record.csv");
  for (int run = 0; run < 2; ++run) {
    cli::Record record(path);
    cli::RecordLine line;
    line.target = "/dev/loop" + std::to_string(run);
    line.result = "done";
    std::string error;
    ASSERT_TRUE(record.append(line, error)) << error;
  }
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], std::string(cli::Record::kHeader) + "\r");
  EXPECT_NE(lines[1].find(",/dev/loop0,"), std::string::npos);
  EXPECT_NE(lines[2].find(",/dev/loop1,"), std::string::npos);
  // Every line has the header's columns, the last one the writer's version.
  const auto columns = [](const std::string& line) {
    return std::count(line.begin(), line.end(), ',');
  };
  const std::string versionColumn = std::string(",") + QUENVORY_VERSION_TEXT + "\r";
  for (std::size_t i = 1; i < lines.size(); ++i) {
    EXPECT_EQ(columns(lines[i]), columns(lines[0])) << lines[i];
    ASSERT_GE(lines[i].size(), versionColumn.size());
    EXPECT_EQ(lines[i].substr(lines[i].size() - versionColumn.size()), versionColumn);
  }

  cli::Record nowhere(scratch.path("no-folder/record.csv"));
  std::string error;
  EXPECT_FALSE(nowhere.writable(error));
  EXPECT_NE(error.find("no-folder/record.csv"), std::string::npos);
  error.clear();
  EXPECT_FALSE(nowhere.append(cli::RecordLine{}, error));
  EXPECT_NE(error.find("no-folder/record.csv"), std::string::npos);
}

}  // namespace
