#pragma once

#include "CommandRunner.h"

#include <fstream>
#include <map>
#include <string>
#include <vector>

// A stand-in for the shell that keeps a small mount table: "mount" prints it, "mount -w/-r POINT" and
// "umount POINT" change it, and any command can be told to fail. Every command is recorded.
class ScriptedCommandRunner : public CommandRunner
{
public:
    int RunRedirected(const std::string& command, Capture capture, const std::string& outputFile) override
    {
        commands.push_back(command);
        const auto failure = failures.find(command);
        if (failure != failures.end())
        {
            return failure->second;
        }
        if (command == "mount" && capture == Capture::StandardOutput)
        {
            std::ofstream out(outputFile);
            for (const std::string& line : extraLines)
            {
                out << line << "\n";
            }
            for (const auto& entry : table)
            {
                out << "/dev/mmcblk0p" << entry.first.size() << " on " << entry.first << " type vfat ("
                    << (entry.second == 1 ? "rw" : "ro") << ",relatime,fmask=0022,errors=remount-ro)\n";
            }
            return 0;
        }
        const std::string mountW = "mount -w ", mountR = "mount -r ", umount = "umount ";
        if (command.compare(0, mountW.size(), mountW) == 0 || command.compare(0, mountR.size(), mountR) == 0)
        {
            const std::string point = command.substr(mountW.size());
            if (table.count(point) != 0)
            {
                return 32 << 8;  // already mounted
            }
            table[point] = command[7] == 'w' ? 1 : 0;
            return 0;
        }
        if (command.compare(0, umount.size(), umount) == 0)
        {
            return table.erase(command.substr(umount.size())) == 1 ? 0 : 32 << 8;
        }
        return 0;
    }

    // Commands run, apart from the listings of the mount table.
    std::vector<std::string> Changes() const
    {
        std::vector<std::string> changes;
        for (const std::string& command : commands)
        {
            if (command != "mount")
            {
                changes.push_back(command);
            }
        }
        return changes;
    }

    std::map<std::string, int> table;        // mount point -> 1 read-write, 0 read-only
    std::vector<std::string> extraLines;     // printed before the table
    std::map<std::string, int> failures;     // command -> the status it returns instead
    std::vector<std::string> commands;
};
