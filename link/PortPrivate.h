#pragma once
// What the console's files share and nobody else needs: the line-end characters, the report line that
// report switch 3 gates, and a number put into a format. port.cpp defines the functions.

#include <string>

constexpr char CR = 0x0D;
constexpr char LF = 0x0A;

void ReportIfFlag3(const std::string& text);

std::string Format(const char* format, int value);
