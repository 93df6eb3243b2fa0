// The language table: every text the application shows in English may be
// replaced by a translation from "language.ini" (in /etc/tarvik/ for an
// installed program, else in the program directory), section "language",
// with the English text as the key. Nothing is cached:
// each text is looked up when it is needed.
#pragma once

#include <string>
#include <vector>

// Names the language file; empty (the start state) leaves every text English.
void SetLanguageFile(const std::string& file);
const std::string& LanguageFile();

// "language.ini" in the first of the folders (each ending in "/") that holds
// one; in the last folder when none does.
std::string FindLanguageFile(const std::vector<std::string>& folders);

// The translation of text, or text itself; either is cut to 255 characters.
std::string Translate(const std::string& text);
