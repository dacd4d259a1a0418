#include "runtime/Path.h"

namespace {

bool isSeparator(wchar_t c)
{
    return c == L'\\' || c == L'/';
}

} // namespace

std::wstring joinPath(const std::wstring& a, const std::wstring& b)
{
    if (a.empty())
        return b;
    if (b.empty())
        return a;
    size_t end = a.size();
    while (end > 0 && isSeparator(a[end - 1]))
        --end;
    size_t start = 0;
    while (start < b.size() && isSeparator(b[start]))
        ++start;
    return a.substr(0, end) + L"\\" + b.substr(start);
}
