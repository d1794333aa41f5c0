// Replays inputs through a fuzz target without libFuzzer, so that builds without it (gcc, the sanitizer
// build) run the seed corpora and every past crash input as ordinary tests. Arguments are files or
// directories (every regular file below them, in name order; a missing directory holds nothing). A crash or
// a broken property ends the run with the failing input named on standard error; otherwise it prints how
// many inputs ran, and fails when there were none.

#include "tests/fuzz/FuzzTarget.h"

#include <boost/filesystem.hpp>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace fs = boost::filesystem;

namespace
{
std::vector<std::string> inputsBelow(const std::string& argument)
{
    std::vector<std::string> found;
    boost::system::error_code ec;
    if (fs::is_directory(argument, ec))
    {
        for (fs::recursive_directory_iterator it(argument, ec), end; !ec && it != end; it.increment(ec))
        {
            if (fs::is_regular_file(it->path(), ec))
                found.push_back(it->path().string());
        }
        std::sort(found.begin(), found.end());
    }
    else if (fs::is_regular_file(argument, ec))
    {
        found.push_back(argument);
    }
    return found;
}
}  // namespace

int main(int argc, char** argv)
{
    size_t ran = 0;
    for (int i = 1; i < argc; ++i)
    {
        const std::vector<std::string> inputs = inputsBelow(argv[i]);
        for (const std::string& input : inputs)
        {
            std::ifstream in(input, std::ios::binary);
            const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                             std::istreambuf_iterator<char>());
            if (!in.eof() && in.fail())
            {
                std::fprintf(stderr, "%s: cannot read %s\n", argv[0], input.c_str());
                return 2;
            }
            std::fprintf(stderr, "running %s\n", input.c_str());
            // libFuzzer hands an empty input as a null pointer with size 0; a copy keeps overreads visible.
            std::vector<uint8_t> copy(bytes);
            LLVMFuzzerTestOneInput(copy.empty() ? nullptr : copy.data(), copy.size());
            ++ran;
        }
    }
    std::printf("%zu inputs ran\n", ran);
    // Nothing to run means the corpora were not written: that must not pass for a clean replay.
    return ran > 0 ? 0 : 2;
}
