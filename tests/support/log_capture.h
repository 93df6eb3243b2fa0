// Collects the library's messages while a test runs.
#pragma once

#include <string>

// Installs itself as the library's message sink; the destructor leaves a
// silent sink behind so that tests stay quiet.
class LogCapture {
   public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    const std::string& text() const { return m_text; }
    void clear() { m_text.clear(); }
    bool contains(const std::string& s) const { return m_text.find(s) != std::string::npos; }

   private:
    static void collect(void* ctx, const char* text);
    std::string m_text;
};
