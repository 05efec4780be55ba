#include <iostream>
#include <string>
#include <vector>

#include "tools/dump/DumpCommand.h"

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    return vantor::RunVantorDump(arguments, std::cout, std::cerr);
}
