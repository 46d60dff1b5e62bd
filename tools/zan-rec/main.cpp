// zan-rec: inspect, check, replay and export recording files (see
// RecordingCommands.h).
#include "RecordingCommands.h"

#include <iostream>
#include <string>
#include <vector>

using namespace zan;

int main(int argc, char** argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    return RunZanRec(args, std::cout, std::cerr, StandardErrorIsTerminal());
}
