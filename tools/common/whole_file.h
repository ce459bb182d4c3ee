// Reading a whole file, for the control libraries of the emulations.
#pragma once

#include <fstream>
#include <sstream>
#include <string>

// Returns false when the file cannot be opened.
static inline bool read_whole_file(const std::string &path, std::string *out)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream s;
    s << in.rdbuf();
    *out = s.str();
    return true;
}
