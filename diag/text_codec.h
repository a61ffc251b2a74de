#pragma once

#include <string>

// Conversions between the encodings that meet in this program: the command
// line comes in the ANSI code page, libzip speaks UTF-8, and the wide file
// and process calls take UTF-16.

std::wstring AnsiToWide(const std::string& text);
std::string WideToAnsi(const std::wstring& text);
std::string WideToUtf8(const std::wstring& text);

// False when text is not valid UTF-8; wide is then left empty.
bool Utf8ToWide(const std::string& text, std::wstring& wide);
