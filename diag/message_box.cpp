#include "diag/message_box.h"

#include <windows.h>

#include "diag/text_codec.h"

const char kProductName[] = "Torvik Vestrel";

void ShowPlainBox(const char* text)
{
    MessageBoxA(nullptr, text, kProductName, MB_OK);
}

void ShowErrorBox(const char* text)
{
    MessageBoxA(nullptr, text, kProductName, MB_ICONERROR | MB_OK);
}

void ShowErrorBoxUtf8(const std::string& text)
{
    std::wstring wideText;
    Utf8ToWide(text, wideText);
    MessageBoxW(nullptr, wideText.c_str(), AnsiToWide(kProductName).c_str(), MB_ICONERROR | MB_OK);
}
