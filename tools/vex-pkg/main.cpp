// vex-pkg: the package tool. Every subcommand lives in the vex_pkg_tool library; see VexPkgCommands.h.
#include "tools/vex-pkg/VexPkgCommands.h"

#include <cstdlib>
#include <iostream>

int main(int argc, char** argv)
{
    const char* epoch = std::getenv("SOURCE_DATE_EPOCH");
    vex::tools::CommandContext context{std::cout, std::cerr, epoch != nullptr ? epoch : "", true,
                                       vex::tools::CommandContext::kOk};
    return vex::tools::RunVexPkg(std::vector<std::string>(argv, argv + argc), context);
}
