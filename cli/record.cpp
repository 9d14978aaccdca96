#include "cli/record.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "cli/card_results.h"
#include "cli/platform.h"
#include "version/version.h"

namespace cli {

RecordLine recordLine(const CardJob& job, const std::string& image, const ImageFacts& facts,
                      bool verify) {
  RecordLine line;
  line.time = utcNow();
  line.operation = job.backup.empty() ? "write" : "backup and write";
  line.image = image;
  line.imageSha256 = facts.fileSha256;
  line.blocksSha256 = facts.blocksSha256;
  line.target = job.name;
  line.cardBytes = job.description.bytes;
  line.vendor = job.description.vendor;
  line.product = job.description.product;
  line.blocksWritten = blocksWritten(job);
  line.verified = verified(job, verify) ? "yes" : "no";
  line.seconds = job.seconds;
  if (!job.refusal.empty())
    line.result = job.refusal;
  else if (job.outcome.ending == card::Ending::Done || job.outcome.ending == card::Ending::Stopped)
    line.result = card::endingName(job.outcome.ending);
  else
    line.result = job.outcome.text;
  return line;
}

std::string csvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

std::string utcNow() {
  static std::mutex mutex;
  const std::time_t now = std::time(nullptr);
  char text[32] = {};
  std::lock_guard<std::mutex> lock(mutex);
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&now));
  return text;
}

bool Record::writable(std::string& error) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::ofstream out(filePath(path_), std::ios::binary | std::ios::app);
  if (out) return true;
  error = "record file " + path_ + " does not open: " + std::strerror(errno);
  return false;
}

bool Record::append(const RecordLine& line, std::string& error) {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::filesystem::path path = filePath(path_);
  std::error_code ignored;
  const bool fresh =
      !std::filesystem::exists(path, ignored) || std::filesystem::file_size(path, ignored) == 0;
  std::ofstream out(path, std::ios::binary | std::ios::app);
  if (!out) {
    error = "record file " + path_ + " does not open: " + std::strerror(errno);
    return false;
  }
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.3f", line.seconds);
  auto number = [](std::int64_t value) {
    return value < 0 ? std::string() : std::to_string(value);
  };
  if (fresh) out << kHeader << "\r\n";
  out << csvField(line.time) << ',' << csvField(line.operation) << ',' << csvField(line.image)
      << ',' << csvField(line.imageSha256) << ',' << csvField(line.target) << ','
      << number(line.cardBytes) << ',' << csvField(line.vendor) << ',' << csvField(line.product)
      << ',' << number(line.blocksWritten) << ',' << seconds << ',' << csvField(line.result) << ','
      << csvField(QUENVORY_VERSION_TEXT) << ',' << csvField(line.verified) << ','
      << csvField(line.blocksSha256) << "\r\n";
  out.flush();
  if (!out) {
    error = "record file " + path_ + " could not be written";
    return false;
  }
  return true;
}

}  // namespace cli
