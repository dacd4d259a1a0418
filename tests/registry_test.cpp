// The registry layer against Wine's real registry, in the 32-bit view the product uses.
// Every test works below a key of its own.
#include "runtime/Registry.h"

#include "runtime/Exception.h"
#include "support/RegistryValues.h"
#include "support/TestBed.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

using Names = std::vector<std::wstring>;
const HKEY HKLM = HKEY_LOCAL_MACHINE;

// What call raised; fails the test when it raised nothing.
vexception raised(const std::function<void()>& call)
{
    try {
        call();
    } catch (const vexception& e) {
        return e;
    }
    ADD_FAILURE() << "nothing was raised";
    return vexception(L"");
}

bool endsWith(const std::wstring& text, const std::wstring& tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

class Registry : public ::testing::Test {
protected:
    void SetUp() override { testreg::createKey(key_); }
    void TearDown() override
    {
        testreg::deleteTree(key_);
        testreg::deleteIfEmpty(L"SOFTWARE\\Tarvo");
    }

    registry open(const std::wstring& sub = L"", REGSAM access = KEY_READ) const
    {
        return registry(HKLM, key_ + sub, access | KEY_WOW64_32KEY, true);
    }

    const std::wstring key_ = L"SOFTWARE\\Tarvo\\" + testbed::uniqueName(L"RegistryTest");
};

TEST_F(Registry, StringTypesStandInForEachOtherAndTheViewSelectorPicksTheView)
{
    testreg::setString(key_, L"Plain", L"plain text", REG_SZ);
    testreg::setString(key_, L"Expandable", L"expandable text", REG_EXPAND_SZ);
    std::wstring value;
    EXPECT_EQ(registry::lookup(HKLM, key_, L"Expandable", value, REG_SZ, 1), ERROR_SUCCESS);
    EXPECT_EQ(value, L"expandable text");
    EXPECT_EQ(registry::lookup(HKLM, key_, L"Plain", value, REG_EXPAND_SZ, 1), ERROR_SUCCESS);
    EXPECT_EQ(value, L"plain text");
    EXPECT_EQ(open().lookup(L"Expandable", value), ERROR_SUCCESS);
    EXPECT_EQ(value, L"expandable text");

    // A 64-bit process sees the 32-bit view's keys under WOW6432Node of its own view.
    EXPECT_EQ(registry::lookup(HKLM, L"SOFTWARE\\WOW6432Node" + key_.substr(8), L"Plain", value, REG_SZ, 2),
              ERROR_SUCCESS);
    EXPECT_EQ(value, L"plain text");
    value = L"untouched";
    EXPECT_EQ(registry::lookup(HKLM, key_, L"Plain", value, REG_SZ, 2), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(registry::lookup(HKLM, key_, L"Plain", value, REG_SZ, 0), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(value, L"untouched");

    EXPECT_TRUE(registry::keyExists(HKLM, key_, 1));
    EXPECT_FALSE(registry::keyExists(HKLM, key_, 3));
    EXPECT_FALSE(registry::keyExists(HKLM, key_ + L"\\Missing", 1));
    EXPECT_TRUE(registry::valueExists(HKLM, key_, L"Plain", 1));
    EXPECT_FALSE(registry::valueExists(HKLM, key_, L"Plain", 0));
    EXPECT_FALSE(registry::valueExists(HKLM, key_, L"Elsewhere", 1));
}

TEST_F(Registry, WrongTypeRaisesNamingTheValueAndChangesNothing)
{
    testreg::setDword(key_, L"Number", 7);
    testreg::setString(key_, L"Text", L"7"); // 4 bytes, so the query itself succeeds
    testreg::setString(key_, L"LongText", L"a number");
    const unsigned long long quad = 0x0000000100000002ull;
    testreg::setValue(key_, L"Quad", REG_QWORD, &quad, sizeof(quad));
    const registry held = open();
    std::wstring text = L"untouched";
    DWORD number = 99;

    const vexception fromStatic = raised([&] { registry::lookup(HKLM, key_, L"Number", text, REG_SZ, 1); });
    EXPECT_EQ(fromStatic.message(), L"RegGetValue invalid type of '" + key_ + L"\\Number'");
    ASSERT_EQ(fromStatic.contexts().size(), 1u);
    EXPECT_EQ(fromStatic.contexts()[0].function, "registry::lookup");
    EXPECT_EQ(fromStatic.contexts()[0].message, L"");
    EXPECT_EQ(raised([&] { held.lookup(L"Number", text); }).message(), L"RegGetValue invalid type of 'Number'");

    EXPECT_EQ(raised([&] { registry::lookup(HKLM, key_, L"Text", number, 1); }).message(),
              L"RegQueryValueEx invalid type of '" + key_ + L"\\Text'");
    EXPECT_EQ(raised([&] { held.lookup(L"Text", number); }).message(), L"RegQueryValueEx invalid type of 'Text'");
    // Another type is reported whatever its length, not passed off as missing.
    EXPECT_EQ(raised([&] { registry::lookup(HKLM, key_, L"LongText", number, 1); }).message(),
              L"RegQueryValueEx invalid type of '" + key_ + L"\\LongText'");
    EXPECT_EQ(raised([&] { held.lookup(L"Quad", number); }).message(), L"RegQueryValueEx invalid type of 'Quad'");
    EXPECT_EQ(text, L"untouched");
    EXPECT_EQ(number, 99u);
    EXPECT_EQ(held.dwordValue(L"Text", 5), 5u);
}

TEST_F(Registry, NumberSizeIsChecked)
{
    const BYTE shortData[2] = {1, 0};
    testreg::setValue(key_, L"Short", REG_DWORD, shortData, sizeof(shortData));
    const unsigned long long longData = 0x0000000100000002ull;
    testreg::setValue(key_, L"Long", REG_DWORD, &longData, sizeof(longData));
    testreg::setDword(key_, L"Good", 0xDEADBEEF);
    const registry held = open();
    DWORD number = 99;

    const vexception fromStatic = raised([&] { registry::lookup(HKLM, key_, L"Short", number, 1); });
    EXPECT_EQ(fromStatic.message(), L"RegQueryValueEx invalid size of '" + key_ + L"\\Short'");
    ASSERT_EQ(fromStatic.contexts().size(), 1u);
    EXPECT_EQ(fromStatic.contexts()[0].function, "registry::lookup");
    EXPECT_EQ(raised([&] { held.lookup(L"Short", number); }).message(), L"RegQueryValueEx invalid size of 'Short'");
    // More than 4 bytes never gets as far as the checks: the query itself reports more data.
    EXPECT_EQ(registry::lookup(HKLM, key_, L"Long", number, 1), DWORD(ERROR_MORE_DATA));
    EXPECT_EQ(held.lookup(L"Long", number), DWORD(ERROR_MORE_DATA));
    EXPECT_EQ(number, 99u);

    for (const wchar_t* name : {L"Short", L"Long", L"Missing"})
        EXPECT_EQ(held.dwordValue(name, 5), 5u);
    EXPECT_EQ(held.dwordValue(L"Good", 5), 0xDEADBEEFu);
    EXPECT_EQ(registry::lookup(HKLM, key_, L"Good", number, 1), ERROR_SUCCESS);
    EXPECT_EQ(number, 0xDEADBEEFu);
}

TEST_F(Registry, StringsEndAtTheFirstNulAndMissingOnesAreCode2)
{
    testreg::setValue(key_, L"Empty", REG_SZ, L"", sizeof(wchar_t));
    testreg::setValue(key_, L"Bare", REG_SZ, nullptr, 0);
    const wchar_t embedded[] = L"before\0after";
    testreg::setValue(key_, L"Embedded", REG_SZ, embedded, sizeof(embedded));
    testreg::setValue(key_, L"Unterminated", REG_SZ, L"abc", 3 * sizeof(wchar_t));
    const registry held = open();

    const std::pair<const wchar_t*, const wchar_t*> cases[] = {{L"Empty", L""}, {L"Bare", L""}, {L"Embedded", L"before"}};
    for (const auto& [name, expected] : cases) {
        std::wstring value = L"previous";
        EXPECT_EQ(registry::lookup(HKLM, key_, name, value, REG_SZ, 1), ERROR_SUCCESS);
        EXPECT_EQ(value, expected);
        value = L"previous";
        EXPECT_EQ(held.lookup(name, value), ERROR_SUCCESS);
        EXPECT_EQ(value, expected);
    }
    EXPECT_EQ(registry::getstr(HKLM, key_, L"Unterminated", 1), L"abc");

    std::wstring value = L"untouched";
    EXPECT_EQ(held.lookup(L"Missing", value), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(registry::lookup(HKLM, key_, L"Missing", value, REG_SZ, 1), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(registry::lookup(HKLM, key_ + L"\\Missing", L"Empty", value, REG_SZ, 1), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(value, L"untouched");
    DWORD number = 99;
    EXPECT_EQ(registry::lookup(HKLM, key_ + L"\\Missing", L"Good", number, 1), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(number, 99u);

    try {
        registry::getstr(HKLM, key_, L"Absent", 1);
        ADD_FAILURE() << "a missing value was read";
    } catch (const VFileNotFoundException& e) {
        EXPECT_EQ(e.errorCode(), 2u);
        EXPECT_TRUE(endsWith(e.message(), L"(Error code 2) at lookup subKey=" + key_ + L" value=Absent"));
        ASSERT_EQ(e.contexts().size(), 1u);
        EXPECT_EQ(e.contexts()[0].function, "registry::getstr");
    }
    EXPECT_THROW(registry::getstr(HKLM, key_ + L"\\Missing", L"Empty", 1), VFileNotFoundException);
}

TEST_F(Registry, SubKeysAppendInEnumerationOrder)
{
    // Created out of order: the registry enumerates by name, ignoring case.
    for (const wchar_t* name : {L"gamma", L"Beta", L"alpha", L"alpha\\nested"})
        testreg::createKey(key_ + L"\\Parent\\" + name);
    testreg::createKey(key_ + L"\\Leaf");

    Names names{L"kept"};
    EXPECT_EQ(registry::subKeys(HKLM, key_ + L"\\Parent", names, 1), ERROR_SUCCESS);
    EXPECT_EQ(names, (Names{L"kept", L"alpha", L"Beta", L"gamma"}));
    names.clear();
    EXPECT_EQ(open(L"\\Parent").subKeys(names), DWORD(ERROR_NO_MORE_ITEMS));
    EXPECT_EQ(names, (Names{L"alpha", L"Beta", L"gamma"}));

    // Without subkeys: the held form reports the end of the enumeration (259), the static
    // form the closing of its key.
    names.clear();
    EXPECT_EQ(open(L"\\Leaf").subKeys(names), DWORD(ERROR_NO_MORE_ITEMS));
    EXPECT_EQ(registry::subKeys(HKLM, key_ + L"\\Leaf", names, 1), ERROR_SUCCESS);
    EXPECT_EQ(registry::subKeys(HKLM, key_ + L"\\Missing", names, 1), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(names.empty());
}

TEST_F(Registry, SetWritesStringsWithTheirTerminatorAndNumbers)
{
    {
        registry writable(HKLM, key_ + L"\\Written", KEY_ALL_ACCESS | KEY_WOW64_32KEY, false);
        writable.set(L"Empty", std::wstring());
        writable.set(L"Text", std::wstring(L"abc"));
        writable.set(L"Number", DWORD(42));
    }
    const auto raw = [&](const wchar_t* name) {
        const auto value = testreg::readValue(key_ + L"\\Written", name);
        return value ? std::make_pair(value->type, value->data) : std::make_pair(DWORD(REG_NONE), std::vector<BYTE>());
    };
    EXPECT_EQ(raw(L"Empty"), std::make_pair(DWORD(REG_SZ), std::vector<BYTE>{0, 0}));
    EXPECT_EQ(raw(L"Text"), std::make_pair(DWORD(REG_SZ), std::vector<BYTE>{'a', 0, 'b', 0, 'c', 0, 0, 0}));
    EXPECT_EQ(raw(L"Number"), std::make_pair(DWORD(REG_DWORD), std::vector<BYTE>{42, 0, 0, 0}));
}

TEST_F(Registry, OpenCreateAndSetFailuresNameTheirTarget)
{
    try {
        registry(HKLM, key_ + L"\\Missing", KEY_READ | KEY_WOW64_32KEY, true);
        ADD_FAILURE() << "a missing key was opened";
    } catch (const VFileNotFoundException& e) {
        EXPECT_TRUE(endsWith(e.message(), L" at RegOpenKeyEx subKey=" + key_ + L"\\Missing"));
        ASSERT_EQ(e.contexts().size(), 1u);
        EXPECT_EQ(e.contexts()[0].function, "registry::open");
    }
    registry readOnly = open(L"", KEY_QUERY_VALUE);
    try {
        readOnly.set(L"Denied", DWORD(1));
        ADD_FAILURE() << "a read-only key was written";
    } catch (const VAccessDeniedException& e) {
        EXPECT_TRUE(endsWith(e.message(), L" at RegSetValueEx valueName=Denied"));
        ASSERT_EQ(e.contexts().size(), 1u);
        EXPECT_EQ(e.contexts()[0].function, "registry::set");
    }
    EXPECT_FALSE(registry::valueExists(HKLM, key_, L"Denied", 1));

    // Key names are limited to 255 characters.
    HKEY child = nullptr;
    const std::wstring tooLong(300, L'x');
    const vexception create = raised([&] { registry::create(HKLM, tooLong, child, KEY_ALL_ACCESS | KEY_WOW64_32KEY); });
    EXPECT_TRUE(endsWith(create.message(), L" at RegCreateKeyEx subKey=" + tooLong));
    ASSERT_EQ(create.contexts().size(), 1u);
    EXPECT_EQ(create.contexts()[0].function, "registry::create");
    EXPECT_EQ(child, nullptr);
}

} // namespace
