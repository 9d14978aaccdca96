#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

#include "card/image_file.h"
#include "card/run_frame.h"

namespace testing_support {

ScratchDir::ScratchDir() {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = info ? std::string(info->test_suite_name()) + "." + info->name() : "scratch";
  for (char& c : name)
    if (c == '/') c = '_';
  root_ = (std::filesystem::temp_directory_path() /
           ("quenvory-" + std::to_string(std::random_device{}()) + "-" + name))
              .string();
  std::filesystem::remove_all(root_);
  std::filesystem::create_directories(root_);
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(root_, ignored);
}

std::uint8_t patternByte(std::int64_t block, std::size_t offset) {
  return static_cast<std::uint8_t>((block * 131 + static_cast<std::int64_t>(offset) * 7 + 1) &
                                   0xFF);
}

std::vector<std::uint8_t> imageBytes(std::int32_t lastBlock, std::int32_t check,
                                     std::size_t payloadBytes) {
  std::vector<std::uint8_t> bytes;
  for (std::int32_t word : {lastBlock, check})
    for (int shift = 0; shift < 32; shift += 8)
      bytes.push_back(static_cast<std::uint8_t>(static_cast<std::uint32_t>(word) >> shift));
  for (std::size_t k = 0; k < payloadBytes; ++k) bytes.push_back(patternByte(k / 512, k % 512));
  return bytes;
}

std::vector<std::uint8_t> completeImage(std::int32_t blocks) {
  return imageBytes(blocks, blocks - 1236, static_cast<std::size_t>(blocks) * 512);
}

void writeFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::vector<std::uint8_t> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

bool RecordingUi::askForFile() {
  journal_.push_back("ask for file");
  if (dialogAnswer.empty()) return false;
  fileName = dialogAnswer;
  return true;
}

void RecordingUi::showMessage(const std::string& text, const std::string& caption) {
  journal_.push_back("message " + caption + ": " + text);
  messages.emplace_back(text, caption);
}

void RecordingUi::setProgress(int position) {
  journal_.push_back("progress " + std::to_string(position));
  positions.push_back(position);
}

void RecordingUi::showProgressPanel(bool visible) {
  journal_.push_back(visible ? "panel shown" : "panel hidden");
}

void RecordingUi::processEvents() {
  journal_.push_back("process events");
  if (onProcessEvents) onProcessEvents();
}

std::vector<std::string> withoutTransfers(const std::vector<std::string>& journal) {
  std::vector<std::string> kept;
  for (const std::string& entry : journal)
    if (entry.rfind("write ", 0) != 0 && entry.rfind("read ", 0) != 0 &&
        entry.rfind("seek ", 0) != 0)
      kept.push_back(entry);
  return kept;
}

void expectEveryBlockBufferComesZero(card::CardDevices& disk) {
  const std::size_t runBytes = 2 * std::size_t(card::kDefaultBatchBlocks) * card::kBlockSize;
  for (int round = 0; round < 4; ++round) {
    SCOPED_TRACE(round);
    auto* buffer = static_cast<std::uint8_t*>(disk.allocateBuffer(runBytes));
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(buffer) % 4096, 0u);
    EXPECT_EQ(std::count(buffer, buffer + runBytes, 0), std::ptrdiff_t(runBytes));
    std::fill(buffer, buffer + runBytes, std::uint8_t(0xA5));
    disk.freeBuffer(buffer);
  }
}

}  // namespace testing_support
