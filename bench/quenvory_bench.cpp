// How fast the card writer fills a real block device, against the plainest
// ways to do the same: one synchronous 512-byte write per block, and dd in
// 1 MiB direct writes. A 16,384-block image goes onto a direct-I/O loop
// device; each way runs several times and the medians are compared.
//
//   quenvory_bench [runs]     (as root; 5 runs when not given)
#include <fcntl.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "loop_device.h"
#include "operator_ui.h"
#include "owned.h"
#include "posix_disk_services.h"
#include "write_operation.h"

namespace {

constexpr std::int32_t kBlocks = 16384;
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
std::vector<std::uint8_t> payloadBytes() {
  std::vector<std::uint8_t> bytes(std::size_t(kBlocks) * kBlock);
  for (std::size_t k = 0; k < bytes.size(); ++k)
    bytes[k] = std::uint8_t((k / kBlock) * 131 + (k % kBlock) * 7 + 1);
  return bytes;
}

std::vector<std::uint8_t> imageBytes(const std::vector<std::uint8_t>& payload) {
  std::vector<std::uint8_t> bytes;
  for (std::int32_t word : {kBlocks, kBlocks - 1236})
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

// The card writer as the write path runs it once the card is open.
bool cardWriter(const std::string& device, const std::string& image, bool verify,
                std::string& why) {
  card::PosixDiskServices disk;
  QuietUi ui(image);
  card::NativeHandle handle = 0;
  if (!disk.openDevice(device, handle)) {
    why = "open failed, error " + std::to_string(disk.lastError());
    return false;
  }
  card::WriteOptions options;
  options.verify = verify;
  card::writeImage(disk, ui, card::CardDevice(disk, handle), options);
  why = ui.lastMessage;
  return ui.lastMessage == "done";
}

// One synchronous 512-byte write per block, each block read from the image
// just before it.
bool blockPerWrite(const std::string& device, const std::string& image, std::string& why) {
  const int fd = ::open(device.c_str(), O_WRONLY | O_DIRECT | O_CLOEXEC);
  if (fd < 0) {
    why = std::string("open: ") + std::strerror(errno);
    return false;
  }
  void* buffer = nullptr;
  std::FILE* file = std::fopen(image.c_str(), "rb");
  bool ok = file != nullptr && posix_memalign(&buffer, 4096, kBlock) == 0 &&
            std::fseek(file, 8, SEEK_SET) == 0;
  for (std::int32_t i = 0; ok && i < kBlocks; ++i) {
    ok = std::fread(buffer, 1, kBlock, file) == kBlock &&
         ::write(fd, buffer, kBlock) == ssize_t(kBlock);
    if (!ok) why = "block " + std::to_string(i) + ": " + std::strerror(errno);
  }
  std::free(buffer);
  if (file != nullptr) std::fclose(file);
  ::close(fd);
  return ok;
}

bool dd(const std::string& device, const std::string& payload, std::string& why) {
  const int status = testing_support::runProgram(
      {"dd", "if=" + payload, "of=" + device, "bs=1M", "oflag=direct", "status=none"}, nullptr,
      &why);
  return status == 0;
}

bool deviceHolds(const std::string& device, const std::vector<std::uint8_t>& payload) {
  std::ifstream in(device, std::ios::binary);
  std::vector<std::uint8_t> bytes(payload.size());
  in.read(reinterpret_cast<char*>(bytes.data()), std::streamsize(bytes.size()));
  return in && bytes == payload;
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  if (::geteuid() != 0) {
    std::printf(
        "quenvory_bench: nothing measured: making a loop device needs root; run it as root.\n");
    return 0;
  }

  namespace fs = std::filesystem;
  std::string scratchTemplate = (fs::temp_directory_path() / "quenvory-bench-XXXXXX").string();
  if (::mkdtemp(scratchTemplate.data()) == nullptr) {
    std::perror("quenvory_bench: scratch folder");
    return 1;
  }
  const fs::path scratch = scratchTemplate;
  const std::string image = (scratch / "image.S7img").string();
  const std::string payload = (scratch / "payload.bin").string();
  const std::string backing = (scratch / "card.img").string();
  const std::vector<std::uint8_t> payloadData = payloadBytes();
  writeBytes(image, imageBytes(payloadData));
  writeBytes(payload, payloadData);
  writeBytes(backing, std::vector<std::uint8_t>(payloadData.size(), 0));

  int result = 0;
  {
    testing_support::LoopDevice loop(backing);
    if (!loop.attached()) {
      std::printf("quenvory_bench: nothing measured: %s\n", loop.reason().c_str());
      fs::remove_all(scratch);
      return 0;
    }
    utsname system{};
    ::uname(&system);
    std::printf("%d blocks (%.1f MiB) onto %s (loop over %s, direct I/O %s), kernel %s\n", kBlocks,
                payloadData.size() / 1048576.0, loop.path().c_str(),
                fs::path(backing).parent_path().c_str(), loop.directIo() ? "on" : "OFF",
                system.release);
    std::printf("median of %d runs each, the ways taking turns\n\n", runs);

    struct Way {
      const char* name;
      std::function<bool(std::string&)> run;
      std::vector<double> times = {};
    };
    const std::string device = loop.path();
    std::vector<Way> ways = {
        {"dd bs=1M oflag=direct", [&](std::string& why) { return dd(device, payload, why); }},
        {"card writer, write only",
         [&](std::string& why) { return cardWriter(device, image, false, why); }},
        {"card writer, write and verify",
         [&](std::string& why) { return cardWriter(device, image, true, why); }},
        {"one 512-byte write per block",
         [&](std::string& why) { return blockPerWrite(device, image, why); }},
    };
    for (int r = 0; r < runs && result == 0; ++r) {
      for (Way& way : ways) {
        std::string why;
        bool ok = false;
        way.times.push_back(seconds([&] { return way.run(why); }, ok));
        if (!ok || !deviceHolds(device, payloadData)) {
          std::printf("%s failed: %s\n", way.name,
                      ok ? "the device differs from the image" : why.c_str());
          result = 1;
          break;
        }
      }
    }
    if (result == 0) {
      const double reference = median(ways[0].times);
      std::printf("%-32s %10s %10s %10s %10s %8s\n", "", "median s", "min s", "max s", "MiB/s",
                  "x dd");
      for (const Way& way : ways) {
        const double m = median(way.times);
        std::printf("%-32s %10.4f %10.4f %10.4f %10.1f %8.2f\n", way.name, m,
                    *std::min_element(way.times.begin(), way.times.end()),
                    *std::max_element(way.times.begin(), way.times.end()),
                    payloadData.size() / 1048576.0 / m, m / reference);
      }
      // dd's figure includes starting the program; show what that alone costs.
      std::vector<double> startUps;
      for (int r = 0; r < runs; ++r) {
        bool ok = false;
        startUps.push_back(seconds(
            [&] {
              return testing_support::runProgram({"dd", "if=" + payload, "of=" + device, "bs=1M",
                                                  "oflag=direct", "count=0", "status=none"}) == 0;
            },
            ok));
      }
      std::printf("\n(dd with count=0, starting and ending the program only: median %.4f s)\n",
                  median(startUps));
    }
  }
  fs::remove_all(scratch);
  return result;
}
