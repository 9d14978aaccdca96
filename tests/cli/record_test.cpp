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
  // Every line has the header's columns, the writer's version under its name.
  const auto fields = [](std::string line) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::vector<std::string> parts(1);
    for (char c : line) {
      if (c == ',')
        parts.emplace_back();
      else
        parts.back() += c;
    }
    return parts;
  };
  const std::vector<std::string> names = fields(lines[0]);
  const auto version = std::find(names.begin(), names.end(), "writer_version");
  ASSERT_NE(version, names.end());
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const std::vector<std::string> values = fields(lines[i]);
    ASSERT_EQ(values.size(), names.size()) << lines[i];
    EXPECT_EQ(values[std::size_t(version - names.begin())], QUENVORY_VERSION_TEXT);
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
