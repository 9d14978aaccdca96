// What the command line adds below a message about a file or a device: the
// path and the system's own reason, then what it means to the operator.
// Chosen by the outcome (what it is about, its ending and error code) and by
// what the path is, never by a message's words.
#pragma once

#include <cstdint>
#include <string>

#include "card/image_file.h"
#include "card/outcome.h"

namespace cli {

// The files a run was given beside its card; empty when it had none.
struct RunFiles {
  std::string image;
  std::string backup;
};

// The hint after a run that did not end well, for the card `card`; empty
// when nothing useful can be said.
std::string hintAfterRun(const card::Outcome& outcome, const std::string& card,
                         const RunFiles& files);

// An image file that did not open, with the system's error code.
std::string imageOpenHint(const std::string& path, std::uint32_t error);

// An image file whose header was refused; `bytes` is the file's size (-1
// when unknown).
std::string headerHint(const std::string& path, const card::HeaderCheck& header,
                       std::int64_t bytes);

// Whether `path` names a folder.
bool isFolder(const std::string& path);

}  // namespace cli
