#pragma once

#include "instrument/CommandRunner.h"

#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

// A stand-in for the shell that keeps a mount table: "mount" prints it, "mount -w/-r POINT" and "umount
// POINT" change it, and any command can be told to fail. Every command except the listings is recorded.
class ScriptedCommandRunner : public vex::instrument::CommandRunner
{
public:
    int RunRedirected(const std::string& command, Capture capture, const std::string& outputFile) override
    {
        if (command != "mount")
        {
            changes.push_back(command);
        }
        if (sideEffect)
        {
            sideEffect(command);
        }
        const auto failure = failures.find(command);
        if (failure != failures.end())
        {
            return failure->second;
        }
        if (command == "mount" && capture == Capture::StandardOutput)
        {
            std::ofstream out(outputFile);
            out << extraLines;
            for (const auto& entry : table)
            {
                out << "/dev/mmcblk0p3 on " << entry.first << " type vfat (" << (entry.second ? "rw" : "ro")
                    << ",relatime,errors=remount-ro)\n";
            }
            return 0;
        }
        if (command.compare(0, 6, "mount ") == 0)
        {
            return table.emplace(command.substr(9), command[7] == 'w').second ? 0 : 32 << 8;
        }
        if (command.compare(0, 7, "umount ") == 0)
        {
            return table.erase(command.substr(7)) == 1 ? 0 : 32 << 8;
        }
        return 0;
    }

    std::map<std::string, bool> table;    // mount point -> read-write
    std::string extraLines;               // printed before the table
    std::map<std::string, int> failures;  // command -> the status it returns instead
    std::vector<std::string> changes;
    // Called with every command, for what a command does beside its status.
    std::function<void(const std::string& command)> sideEffect;
};
