#include "core/version.h"

#include "version_info.h"

std::string ProjectVersion() { return TARVIK_VERSION; }

std::string VersionLine(const std::string& program) {
    std::string line = program + " " + ProjectVersion();
    if (*TARVIK_COMMIT != '\0') line += " (commit " TARVIK_COMMIT ")";
    return line;
}
