// The version both programs print for --version.
#pragma once

#include <string>

// The project's version, "1.0".
std::string ProjectVersion();

// "PROGRAM 1.0", followed by " (commit abcdef012345)" when the program was
// built from a git checkout.
std::string VersionLine(const std::string& program);
