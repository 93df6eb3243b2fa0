#include "core/language.h"

#include <unistd.h>

#include "platform/ini.h"

namespace {

std::string g_languageFile;

constexpr unsigned kBufferSize = 256;  // room for 255 characters and the terminator

}  // namespace

void SetLanguageFile(const std::string& file) { g_languageFile = file; }

const std::string& LanguageFile() { return g_languageFile; }

std::string FindLanguageFile(const std::vector<std::string>& folders) {
    for (const std::string& folder : folders) {
        if (access((folder + "language.ini").c_str(), F_OK) == 0) return folder + "language.ini";
    }
    return folders.empty() ? std::string() : folders.back() + "language.ini";
}

std::string Translate(const std::string& text) {
    char buf[kBufferSize] = {};
    get_private_profile_string("language", text.c_str(), text.c_str(), buf, kBufferSize, g_languageFile.c_str());
    return std::string(buf);
}
