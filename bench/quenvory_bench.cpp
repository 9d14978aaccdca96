// How fast the card writer fills a real block device, against dd in 1 MiB
// direct writes. An image goes onto a direct-I/O loop device; each way runs
// several times, the ways taking turns, and the medians are compared. Every
// way is timed as a whole process, from its start to its exit, so that
// starting a program weighs the same on both sides:
//   - write only: the card writer without its read-back, against
//     `dd bs=1M oflag=direct`;
//   - write and verify: the card writer with its read-back, against that dd
//     followed by `dd bs=1M iflag=direct` reading the device back.
//
//   quenvory_bench [runs] [MiB ...]   (as root; 5 runs of 8 and 512 MiB when not given)
//   quenvory_bench --write DEVICE IMAGE write-only|verify
//                                     (one run of the card writer, as its own process)
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "card/operator_ui.h"
#include "card/owned.h"
#include "card/write_run.h"
#include "disks/linux_disk_services.h"
#include "tests/support/loop_device.h"

namespace {

constexpr std::size_t kBlock = 512;

// The window does nothing here; only the closing message is kept, to see
// that every run ended with "done".
class QuietUi : public card::OperatorUi {
 public:
  explicit QuietUi(std::string file) : file_(std::move(file)) {}
  std::string lastMessage;

  std::string driveText() override { return ""; }
  std::string chosenFileName() override { return file_; }
  bool askForFile() override { return false; }
  void showMessage(const std::string& text, const std::string&) override { lastMessage = text; }
  void repaintWindow() override {}
  void setProgress(int) override {}
  void showProgressPanel(bool) override {}
  void setStatus(const std::string&) override {}
  void repaintProgress() override {}
  void processEvents() override {}

 private:
  std::string file_;
};

void writeBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

// Every block differs from the others, so a misplaced block would show in
// the final comparison.
std::vector<std::uint8_t> payloadBytes(std::int32_t blocks) {
  std::vector<std::uint8_t> bytes(std::size_t(blocks) * kBlock);
  for (std::size_t k = 0; k < bytes.size(); ++k)
    bytes[k] = std::uint8_t((k / kBlock) * 131 + (k % kBlock) * 7 + 1);
  return bytes;
}

std::vector<std::uint8_t> imageBytes(const std::vector<std::uint8_t>& payload) {
  const auto blocks = static_cast<std::int32_t>(payload.size() / kBlock);
  std::vector<std::uint8_t> bytes;
  for (std::int32_t word : {blocks, blocks - 1236})
    for (int shift = 0; shift < 32; shift += 8)
      bytes.push_back(std::uint8_t(std::uint32_t(word) >> shift));
  bytes.insert(bytes.end(), payload.begin(), payload.end());
  return bytes;
}

double seconds(const std::function<bool()>& run, bool& ok) {
  const auto start = std::chrono::steady_clock::now();
  ok = run();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// The card writer as the write path runs it once the card is open, in this
// process: what `--write` does.
bool cardWriter(const std::string& device, const std::string& image, bool verify,
                std::string& why) {
  disks::LinuxDiskServices disk;
  QuietUi ui(image);
  card::NativeHandle handle = 0;
  if (!disk.openDevice(device, handle)) {
    why = "open failed, error " + std::to_string(disk.lastError());
    return false;
  }
  card::WriteOptions options;
  options.verify = verify;
  card::runWrite(disk, ui, card::CardDevice(disk, handle), options);
  why = ui.lastMessage;
  return ui.lastMessage == "done";
}

// The card writer as a process of its own: this program again.
bool cardWriterProcess(const std::string& self, const std::string& device, const std::string& image,
                       bool verify, std::string& why) {
  return testing_support::runProgram(
             {self, "--write", device, image, verify ? "verify" : "write-only"}, nullptr, &why) ==
         0;
}

bool ddWrite(const std::string& device, const std::string& payload, std::string& why) {
  return testing_support::runProgram(
             {"dd", "if=" + payload, "of=" + device, "bs=1M", "oflag=direct", "status=none"},
             nullptr, &why) == 0;
}

bool ddRead(const std::string& device, std::size_t bytes, std::string& why) {
  return testing_support::runProgram({"dd", "if=" + device, "of=/dev/null", "bs=1M", "iflag=direct",
                                      "count=" + std::to_string(bytes >> 20), "status=none"},
                                     nullptr, &why) == 0;
}

bool deviceHolds(const std::string& device, const std::vector<std::uint8_t>& payload) {
  std::ifstream in(device, std::ios::binary);
  std::vector<std::uint8_t> bytes(payload.size());
  in.read(reinterpret_cast<char*>(bytes.data()), std::streamsize(bytes.size()));
  return in && bytes == payload;
}

// Zeroes the device between runs, so that every run writes over something
// else and the check after it means something.
bool wipe(const std::string& device, std::size_t bytes, std::string& why) {
  return testing_support::runProgram({"dd", "if=/dev/zero", "of=" + device, "bs=1M", "oflag=direct",
                                      "count=" + std::to_string(bytes >> 20), "status=none"},
                                     nullptr, &why) == 0;
}

struct Way {
  const char* name;
  std::function<bool(std::string&)> run;
  std::vector<double> times = {};
};

// One size: every way `runs` times in turn; false when one failed or left
// the device without the image.
bool measure(const std::string& self, const std::filesystem::path& scratch, std::size_t mib,
             int runs) {
  namespace fs = std::filesystem;
  const auto blocks = static_cast<std::int32_t>((mib << 20) / kBlock);
  const std::string image = (scratch / "image.S7img").string();
  const std::string payload = (scratch / "payload.bin").string();
  const std::string backing = (scratch / "card.img").string();
  const std::vector<std::uint8_t> payloadData = payloadBytes(blocks);
  writeBytes(image, imageBytes(payloadData));
  writeBytes(payload, payloadData);
  writeBytes(backing, std::vector<std::uint8_t>(payloadData.size(), 0));

  testing_support::LoopDevice loop(backing);
  if (!loop.attached()) {
    std::printf("quenvory_bench: nothing measured: %s\n", loop.reason().c_str());
    return true;
  }
  utsname system{};
  ::uname(&system);
  std::printf("%d blocks (%zu MiB) onto %s (loop over %s, direct I/O %s), kernel %s\n", blocks, mib,
              loop.path().c_str(), scratch.c_str(), loop.directIo() ? "on" : "OFF", system.release);
  std::printf("median of %d runs each, the ways taking turns, each way a whole process\n\n", runs);

  const std::string device = loop.path();
  const std::size_t bytes = payloadData.size();
  std::vector<Way> ways = {
      {"dd write", [&](std::string& why) { return ddWrite(device, payload, why); }},
      {"card writer, write only",
       [&](std::string& why) { return cardWriterProcess(self, device, image, false, why); }},
      {"dd write, then dd read",
       [&](std::string& why) {
         return ddWrite(device, payload, why) && ddRead(device, bytes, why);
       }},
      {"card writer, write and verify",
       [&](std::string& why) { return cardWriterProcess(self, device, image, true, why); }},
  };
  for (int r = 0; r < runs; ++r) {
    for (Way& way : ways) {
      std::string why;
      bool ok = wipe(device, bytes, why);
      if (ok) way.times.push_back(seconds([&] { return way.run(why); }, ok));
      if (!ok || !deviceHolds(device, payloadData)) {
        std::printf("%s failed: %s\n", way.name,
                    ok ? "the device differs from the image" : why.c_str());
        return false;
      }
    }
  }
  std::printf("%-32s %10s %10s %10s %10s %8s\n", "", "median s", "min s", "max s", "MiB/s", "x dd");
  for (std::size_t k = 0; k < ways.size(); ++k) {
    const Way& way = ways[k];
    // Each card writer way against the dd way before it.
    const double reference = median(ways[k - k % 2].times);
    const double m = median(way.times);
    std::printf("%-32s %10.4f %10.4f %10.4f %10.1f %8.2f\n", way.name, m,
                *std::min_element(way.times.begin(), way.times.end()),
                *std::max_element(way.times.begin(), way.times.end()), bytes / 1048576.0 / m,
                m / reference);
  }
  std::printf("\n");
  fs::remove(image);
  fs::remove(payload);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::string(argv[1]) == "--write") {
    std::string why;
    const bool done = cardWriter(argv[2], argv[3], std::string(argv[4]) == "verify", why);
    if (!done) std::fprintf(stderr, "%s\n", why.c_str());
    return done ? 0 : 1;
  }
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  std::vector<std::size_t> sizes;
  for (int k = 2; k < argc; ++k)
    if (std::atoi(argv[k]) > 0) sizes.push_back(std::size_t(std::atoi(argv[k])));
  if (sizes.empty()) sizes = {8, 512};
  if (::geteuid() != 0) {
    std::printf(
        "quenvory_bench: nothing measured: making a loop device needs root; run it as root.\n");
    return 0;
  }

  namespace fs = std::filesystem;
  const std::string self = fs::read_symlink("/proc/self/exe").string();
  std::string scratchTemplate = (fs::temp_directory_path() / "quenvory-bench-XXXXXX").string();
  if (::mkdtemp(scratchTemplate.data()) == nullptr) {
    std::perror("quenvory_bench: scratch folder");
    return 1;
  }
  const fs::path scratch = scratchTemplate;
  int result = 0;
  for (std::size_t mib : sizes) {
    if (!measure(self, scratch, mib, runs)) {
      result = 1;
      break;
    }
  }
  fs::remove_all(scratch);
  return result;
}
