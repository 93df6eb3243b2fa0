// The language table: every text the application shows in English may be
// replaced by a translation from "language.ini" in the program directory,
// section "language", with the English text as the key. Nothing is cached:
// each text is looked up when it is needed.
#pragma once

#include <string>

// Names the language file; empty (the start state) leaves every text English.
void SetLanguageFile(const std::string& file);
const std::string& LanguageFile();

// The translation of text, or text itself; either is cut to 255 characters.
std::string Translate(const std::string& text);
