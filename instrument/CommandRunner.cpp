#include "CommandRunner.h"

const char* const CommandRunner::kDiscard = "/dev/null";
