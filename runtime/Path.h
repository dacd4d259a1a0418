#pragma once

#include <string>

// a and b with exactly one backslash between them (slashes count as separators too);
// an empty part gives the other unchanged.
std::wstring joinPath(const std::wstring& a, const std::wstring& b);
