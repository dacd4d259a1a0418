// The registry layer against Wine's real registry, in the 32-bit view the product uses.
#include "runtime/Registry.h"

#include "support/Capture.h"
#include "support/RegistryValues.h"

#include <gtest/gtest.h>

using testbed::thrown;
using testbed::thrownText;
const HKEY HKLM = HKEY_LOCAL_MACHINE;

// Every test works below a key of its own.
class Registry : public ::testing::Test {
protected:
    void TearDown() override { testreg::deleteTree(key_); }
    registry open(REGSAM access = KEY_READ) const { return registry(HKLM, key_, access | KEY_WOW64_32KEY, true); }

    const std::wstring key_ = L"SOFTWARE\\Tarvo\\" + testbed::uniqueName(L"RegistryTest");
};

TEST_F(Registry, ReadsThe32BitViewAndStringsOfEitherTypeUpToTheirFirstNulAndFailuresNameTheirTarget)
{
    testreg::setString(key_, L"Plain", L"plain text");
    testreg::setString(key_, L"Expandable", L"expandable", REG_EXPAND_SZ);
    testreg::setValue(key_, L"Embedded", REG_SZ, L"before\0after", 13 * sizeof(wchar_t));
    std::wstring value, held;
    EXPECT_EQ(ERROR_SUCCESS, registry::lookup(HKLM, key_, L"Expandable", value, REG_SZ, 1));
    EXPECT_EQ(ERROR_SUCCESS, open().lookup(L"Embedded", held));
    EXPECT_EQ(L"expandable before", value + L" " + held);
    // The 64-bit view shows the 32-bit view's keys under WOW6432Node. A view without them: the
    // process's own in the x86_64 build, the 64-bit one in the i686 build.
    EXPECT_EQ(L"plain text", registry::getstr(HKLM, L"SOFTWARE\\WOW6432Node" + key_.substr(8), L"Plain", 2));
    const DWORD other = sizeof(void*) == 8 ? 0 : 2;
    for (const DWORD view : {other, DWORD(2)})
        EXPECT_EQ(DWORD(ERROR_FILE_NOT_FOUND), registry::lookup(HKLM, key_, L"Plain", value, REG_EXPAND_SZ, view));
    EXPECT_EQ(DWORD(ERROR_FILE_NOT_FOUND), open().lookup(L"Missing", value));
    EXPECT_EQ(L"expandable", value);
    EXPECT_TRUE(registry::valueExists(HKLM, key_, L"Plain", 1) && !registry::valueExists(HKLM, key_, L"Plain", other));
    EXPECT_EQ(osErrorMessage(2, (L"lookup subKey=" + key_ + L" value=No").c_str()) +
                  L"\n   at (registry::getstr line #)",
              thrownText([&] { registry::getstr(HKLM, key_, L"No", 1); }));
    EXPECT_EQ(osErrorMessage(2, (L"RegOpenKeyEx subKey=" + key_ + L"\\No").c_str()) +
                  L"\n   at (registry::open line #)",
              thrownText([&] { registry(HKLM, key_ + L"\\No", KEY_READ | KEY_WOW64_32KEY, true); }));
    EXPECT_EQ(osErrorMessage(5, L"RegSetValueEx valueName=Denied") + L"\n   at (registry::set line #)",
              thrownText([&] { open(KEY_QUERY_VALUE).set(L"Denied", DWORD(1)); }));
}

TEST_F(Registry, WrongTypeOrSizeRaisesNamingTheValueAndChangesNothing)
{
    testreg::setDword(key_, L"Number", 0xDEADBEEF);
    testreg::setString(key_, L"Text", L"7"); // 4 bytes, so the query itself succeeds
    testreg::setString(key_, L"LongText", L"a number");
    testreg::setValue(key_, L"Short", REG_DWORD, "\1", 2);
    const registry held = open();
    std::wstring text = L"untouched";
    DWORD number = 99;
    EXPECT_EQ(L"RegGetValue invalid type of '" + key_ + L"\\Number'\n   at (registry::lookup line #)",
              thrownText([&] { registry::lookup(HKLM, key_, L"Number", text, REG_SZ, 1); }));
    EXPECT_EQ(L"RegGetValue invalid type of 'Number'", thrown([&] { held.lookup(L"Number", text); })->message());
    for (const auto& [name, problem] : {std::pair(L"Text", L"type"), {L"LongText", L"type"}, {L"Short", L"size"}}) {
        const std::wstring head = L"RegQueryValueEx invalid " + std::wstring(problem) + L" of '";
        EXPECT_EQ(head + key_ + L"\\" + name + L"'\n   at (registry::lookup line #)",
                  thrownText([&] { registry::lookup(HKLM, key_, name, number, 1); }));
        EXPECT_EQ(head + name + L"'", thrown([&] { held.lookup(name, number); })->message());
    }
    EXPECT_TRUE(text == L"untouched" && number == 99) << "a failed read changed its output";
    for (const wchar_t* name : {L"Text", L"Short", L"Missing"})
        EXPECT_EQ(5u, held.dwordValue(name, 5)) << name;
    EXPECT_EQ(0xDEADBEEFu, held.dwordValue(L"Number", 5));
}
