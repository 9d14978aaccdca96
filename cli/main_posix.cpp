#include "cli/commands.h"

int main(int argc, char** argv) { return cli::run(std::vector<std::string>(argv, argv + argc)); }
