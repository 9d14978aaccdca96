// What `--help` says, for the program and each command, in plain words and
// lines that fit a terminal of 80 columns. The manual page of the Linux
// package is made from these texts (scripts/package), so the two cannot
// tell different stories.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace CLI {
class App;
}

namespace cli {

// One part of a help text below a heading ("Exit status:"). A paragraph is
// flowing text; an entry is a term and what it means; a command line is
// shown as typed ("$ quenvory list").
struct HelpSection {
  struct Item {
    enum class Kind { Paragraph, Entry, CommandLine };
    Kind kind = Kind::Paragraph;
    std::string term;  // an entry's term
    std::string text;
  };
  std::string heading;
  std::vector<Item> items;

  HelpSection& paragraph(std::string text);
  HelpSection& entry(std::string term, std::string text);
  HelpSection& commandLine(std::string text);
};

// The sections as the help prints them below everything else.
std::string helpText(const std::vector<HelpSection>& sections);

// Lays out every help of `app` and its commands added later in plain words
// (no parser's words such as "TEXT REQUIRED"); call before adding commands.
void useHelpLayout(CLI::App& app);

// The program's own sections: rights, finding the card, what is refused,
// stops, exit status, examples.
std::vector<HelpSection> programHelp();
// The write's: the record's columns, the backup files' names.
std::vector<HelpSection> writeHelp();

}  // namespace cli
