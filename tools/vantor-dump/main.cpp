#include <iostream>
#include <string>
#include <vector>

#include "platform/MemoryReuse.h"
#include "tools/dump/DumpCommand.h"

int main(int argc, char** argv) {
    // The listing goes through the streams alone: their own buffers, not a C stdio call each.
    std::ios::sync_with_stdio(false);
    vantor::KeepFreedMemoryForReuse();
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    return vantor::RunVantorDump(arguments, std::cout, std::cerr);
}
