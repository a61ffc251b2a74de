#pragma once

#include <string>

// The program's name: the progress window's class and title, and the
// caption of every message box.
extern const char kProductName[];

// A box without an owner and with an OK button only, for the window failures.
void ShowPlainBox(const char* text);

// A box without an owner, with the error icon: a failure the player must
// see. The text is in the ANSI code page, or in UTF-8 for ShowErrorBoxUtf8
// (names from the archive keep their own characters). Both return when
// the player has closed the box.
void ShowErrorBox(const char* text);
void ShowErrorBoxUtf8(const std::string& text);
