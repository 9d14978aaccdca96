#include "cli/hints.h"

#include <filesystem>
#include <memory>

#include "cli/platform.h"

namespace cli {
namespace {

std::string folderHint(const std::string& path) {
  return path + ": a folder, not an image file: name the .S7img file in it";
}

// The path with the system's words for `error`, when there are any.
std::string withReason(const std::string& path, std::uint32_t error) {
  const std::string reason = systemReason(error);
  return reason.empty() ? path + ": error " + std::to_string(error) : path + ": " + reason;
}

std::int64_t fileBytes(const std::string& path) {
  std::error_code failed;
  const auto bytes = std::filesystem::file_size(filePath(path), failed);
  return failed ? -1 : static_cast<std::int64_t>(bytes);
}

// The image's header read again, for what was wrong with it.
std::string imageHint(const card::Outcome& outcome, const std::string& path) {
  if (path.empty()) return {};
  if (isFolder(path)) return folderHint(path);
  if (outcome.systemError != 0) return imageOpenHint(path, outcome.systemError);
  if (outcome.ending == card::Ending::Refused) {
    const std::unique_ptr<card::DiskServices> disk = makeDiskServices();
    card::NativeHandle handle = 0;
    if (!disk->files().openImage(path, handle))
      return imageOpenHint(path, disk->files().lastError());
    const card::ImageFile file(disk->files(), handle);
    return headerHint(path, card::readHeader(file), fileBytes(path));
  }
  // Read part-way, then no more: the file's disk or share failed under it.
  if (outcome.block >= 0)
    return path + ": could not be read at block " + std::to_string(outcome.block) +
           " (a bad sector, a removed drive or a lost network share): copy the image to a sound "
           "local disk and try again";
  return {};
}

std::string backupHint(const card::Outcome& outcome, const std::string& path) {
  if (path.empty()) return {};
  namespace fs = std::filesystem;
  const fs::path folder = fs::u8path(path).parent_path();
  std::error_code failed;
  if (!folder.empty() && !fs::exists(filePath(folder.u8string()), failed))
    return withReason(folder.u8string(), outcome.systemError) +
           ": the folder for the backup file does not exist; make it first or name another";
  if (isFolder(path))
    return path + ": a folder: name a file for the backup (in that folder, for example)";
  if (outcome.systemError == 0) return {};
  return withReason(path, outcome.systemError);
}

}  // namespace

bool isFolder(const std::string& path) {
  std::error_code failed;
  return std::filesystem::is_directory(filePath(path), failed);
}

std::string imageOpenHint(const std::string& path, std::uint32_t error) {
  if (isFolder(path)) return folderHint(path);
  return withReason(path, error);
}

std::string headerHint(const std::string& path, const card::HeaderCheck& header,
                       std::int64_t bytes) {
  switch (header.problem) {
    case card::HeaderProblem::None:
      return {};
    case card::HeaderProblem::Short:
      return path + ": not a card image: " +
             (bytes >= 0 ? "its " + std::to_string(bytes) + " bytes are" : "it is") +
             " shorter than an image's 8-byte header";
    case card::HeaderProblem::OlderFormat:
      return path +
             ": a card image of the older format 0.9 (its header says so), which this writer "
             "does not write";
    case card::HeaderProblem::CheckWord:
      return path +
             ": not a card image: its first 8 bytes are no image header (a block count and its "
             "check word); another kind of file, or a damaged image";
  }
  return {};
}

std::string hintAfterRun(const card::Outcome& outcome, const std::string& card,
                         const RunFiles& files) {
  if (outcome.done()) return {};
  switch (outcome.about) {
    case card::About::ImageFile:
      return imageHint(outcome, files.image);
    case card::About::BackupFile:
      return backupHint(outcome, files.backup);
    case card::About::Card:
      break;
  }
  return hintFor(outcome, card);
}

}  // namespace cli
