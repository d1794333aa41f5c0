// vex-pkg: the package tool. Every subcommand lives in the vex_pkg_tool library; see VexPkgCommands.h.
#include "VexPkgCommands.h"

#include <cstdlib>
#include <iostream>

int main(int argc, char** argv)
{
    const char* epoch = std::getenv("SOURCE_DATE_EPOCH");
    CommandContext context{std::cout, std::cerr, epoch != nullptr ? epoch : "", true, CommandContext::kOk};
    return RunVexPkg(std::vector<std::string>(argv, argv + argc), context);
}
