// The registry layer against Wine's real registry, in the 32-bit view the product uses:
// type and size checks with their messages, codes for what is missing, enumeration and
// writes. Every test works below a key of its own.
#include "services/Registry.h"

#include "runtime/Exception.h"
#include "support/RegistryValues.h"
#include "support/TestBed.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

class Registry : public ::testing::Test {
protected:
    void SetUp() override
    {
        key_ = L"SOFTWARE\\Tarvo\\" + testbed::uniqueName(L"RegistryTest");
        testreg::createKey(key_);
    }
    void TearDown() override
    {
        testreg::deleteTree(key_);
        testreg::deleteIfEmpty(L"SOFTWARE\\Tarvo");
    }

    void setRaw(const std::wstring& name, DWORD type, const void* data, DWORD size) const
    {
        testreg::setValue(key_, name, type, data, size);
    }

    std::wstring key_;
};

// Runs call, which must raise a vexception, and returns it.
template <typename Call>
vexception raised(Call call)
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

TEST_F(Registry, StringTypesStandInForEachOther)
{
    testreg::setString(key_, L"Plain", L"plain text", REG_SZ);
    testreg::setString(key_, L"Expandable", L"expandable text", REG_EXPAND_SZ);

    std::wstring value;
    EXPECT_EQ(registry::lookup(HKEY_LOCAL_MACHINE, key_, L"Expandable", value, REG_SZ, 1), ERROR_SUCCESS);
    EXPECT_EQ(value, L"expandable text");
    EXPECT_EQ(registry::lookup(HKEY_LOCAL_MACHINE, key_, L"Plain", value, REG_EXPAND_SZ, 1), ERROR_SUCCESS);
    EXPECT_EQ(value, L"plain text");

    registry held(HKEY_LOCAL_MACHINE, key_, KEY_READ | KEY_WOW64_32KEY, true);
    EXPECT_EQ(held.lookup(L"Expandable", value), ERROR_SUCCESS);
    EXPECT_EQ(value, L"expandable text");
}

TEST_F(Registry, ViewSelectorPicksThe32Or64BitView)
{
    testreg::setString(key_, L"Where", L"32-bit view");

    // A 64-bit process sees the 32-bit view's keys under WOW6432Node of its own view.
    const std::wstring redirected = L"SOFTWARE\\WOW6432Node" + key_.substr(8);
    std::wstring value;
    EXPECT_EQ(registry::lookup(HKEY_LOCAL_MACHINE, redirected, L"Where", value, REG_SZ, 2), ERROR_SUCCESS);
    EXPECT_EQ(value, L"32-bit view");

    value = L"untouched";
    EXPECT_EQ(registry::lookup(HKEY_LOCAL_MACHINE, key_, L"Where", value, REG_SZ, 2), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(registry::lookup(HKEY_LOCAL_MACHINE, key_, L"Where", value, REG_SZ, 0), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(value, L"untouched");

    EXPECT_TRUE(registry::keyExists(HKEY_LOCAL_MACHINE, key_, 1));
    EXPECT_FALSE(registry::keyExists(HKEY_LOCAL_MACHINE, key_, 3));
    EXPECT_TRUE(registry::valueExists(HKEY_LOCAL_MACHINE, key_, L"Where", 1));
    EXPECT_FALSE(registry::valueExists(HKEY_LOCAL_MACHINE, key_, L"Where", 0));
    EXPECT_FALSE(registry::valueExists(HKEY_LOCAL_MACHINE, key_, L"Elsewhere", 1));
    EXPECT_FALSE(registry::keyExists(HKEY_LOCAL_MACHINE, key_ + L"\\Missing", 1));
}

TEST_F(Registry, NumberReadAsStringRaisesNamingTheValue)
{
    testreg::setDword(key_, L"Number", 7);
    std::wstring value = L"untouched";

    const vexception fromStatic =
        raised([&] { registry::lookup(HKEY_LOCAL_MACHINE, key_, L"Number", value, REG_SZ, 1); });
    EXPECT_EQ(fromStatic.message(), L"RegGetValue invalid type of '" + key_ + L"\\Number'");
    ASSERT_EQ(fromStatic.contexts().size(), 1u);
    EXPECT_EQ(fromStatic.contexts()[0].function, "registry::lookup");
    EXPECT_EQ(fromStatic.contexts()[0].message, L"");

    registry held(HKEY_LOCAL_MACHINE, key_, KEY_READ | KEY_WOW64_32KEY, true);
    const vexception fromHeld = raised([&] { held.lookup(L"Number", value); });
    EXPECT_EQ(fromHeld.message(), L"RegGetValue invalid type of 'Number'");
    EXPECT_EQ(value, L"untouched");

    // The reverse: a string read as a number (4 bytes, so the query itself succeeds).
    testreg::setString(key_, L"Text", L"7");
    DWORD number = 99;
    EXPECT_EQ(raised([&] { registry::lookup(HKEY_LOCAL_MACHINE, key_, L"Text", number, 1); }).message(),
              L"RegQueryValueEx invalid type of '" + key_ + L"\\Text'");
    EXPECT_EQ(raised([&] { held.lookup(L"Text", number); }).message(), L"RegQueryValueEx invalid type of 'Text'");
    EXPECT_EQ(number, 99u);
    EXPECT_EQ(held.dwordValue(L"Text", 5), 5u);
}

TEST_F(Registry, NumberSizeIsChecked)
{
    const BYTE shortData[2] = {1, 0};
    setRaw(L"Short", REG_DWORD, shortData, sizeof(shortData));
    const unsigned long long longData = 0x0000000100000002ull;
    setRaw(L"Long", REG_DWORD, &longData, sizeof(longData));
    setRaw(L"Quad", REG_QWORD, &longData, sizeof(longData));
    testreg::setDword(key_, L"Good", 0xDEADBEEF);

    registry held(HKEY_LOCAL_MACHINE, key_, KEY_READ | KEY_WOW64_32KEY, true);
    DWORD number = 99;
    const vexception fromStatic = raised([&] { registry::lookup(HKEY_LOCAL_MACHINE, key_, L"Short", number, 1); });
    EXPECT_EQ(fromStatic.message(), L"RegQueryValueEx invalid size of '" + key_ + L"\\Short'");
    ASSERT_EQ(fromStatic.contexts().size(), 1u);
    EXPECT_EQ(fromStatic.contexts()[0].function, "registry::lookup");
    EXPECT_EQ(raised([&] { held.lookup(L"Short", number); }).message(), L"RegQueryValueEx invalid size of 'Short'");

    // More than 4 bytes never gets as far as the checks: the query itself reports more data.
    EXPECT_EQ(registry::lookup(HKEY_LOCAL_MACHINE, key_, L"Long", number, 1), DWORD(ERROR_MORE_DATA));
    EXPECT_EQ(held.lookup(L"Long", number), DWORD(ERROR_MORE_DATA));
    EXPECT_EQ(number, 99u);
    // Another type is reported whatever its length, not passed off as missing.
    EXPECT_EQ(raised([&] { held.lookup(L"Quad", number); }).message(), L"RegQueryValueEx invalid type of 'Quad'");
    testreg::setString(key_, L"LongText", L"a number");
    EXPECT_EQ(raised([&] { registry::lookup(HKEY_LOCAL_MACHINE, key_, L"LongText", number, 1); }).message(),
              L"RegQueryValueEx invalid type of '" + key_ + L"\\LongText'");

    EXPECT_EQ(held.dwordValue(L"Short", 5), 5u);
    EXPECT_EQ(held.dwordValue(L"Long", 5), 5u);
    EXPECT_EQ(held.dwordValue(L"Missing", 5), 5u);
    EXPECT_EQ(held.dwordValue(L"Good", 5), 0xDEADBEEFu);

    EXPECT_EQ(registry::lookup(HKEY_LOCAL_MACHINE, key_, L"Good", number, 1), ERROR_SUCCESS);
    EXPECT_EQ(number, 0xDEADBEEFu);
}

TEST_F(Registry, StringContentEdgeCases)
{
    setRaw(L"Empty", REG_SZ, L"", sizeof(wchar_t));
    setRaw(L"Bare", REG_SZ, nullptr, 0);
    const wchar_t embedded[] = L"before\0after";
    setRaw(L"Embedded", REG_SZ, embedded, sizeof(embedded));
    // No terminator stored at all.
    setRaw(L"Unterminated", REG_SZ, L"abc", 3 * sizeof(wchar_t));

    std::wstring value = L"previous";
    EXPECT_EQ(registry::lookup(HKEY_LOCAL_MACHINE, key_, L"Empty", value, REG_SZ, 1), ERROR_SUCCESS);
    EXPECT_EQ(value, L"");
    value = L"previous";
    EXPECT_EQ(registry::lookup(HKEY_LOCAL_MACHINE, key_, L"Bare", value, REG_SZ, 1), ERROR_SUCCESS);
    EXPECT_EQ(value, L"");
    EXPECT_EQ(registry::lookup(HKEY_LOCAL_MACHINE, key_, L"Embedded", value, REG_SZ, 1), ERROR_SUCCESS);
    EXPECT_EQ(value, L"before");
    EXPECT_EQ(registry::getstr(HKEY_LOCAL_MACHINE, key_, L"Unterminated", 1), L"abc");

    registry held(HKEY_LOCAL_MACHINE, key_, KEY_READ | KEY_WOW64_32KEY, true);
    EXPECT_EQ(held.lookup(L"Embedded", value), ERROR_SUCCESS);
    EXPECT_EQ(value, L"before");
    value = L"previous";
    EXPECT_EQ(held.lookup(L"Empty", value), ERROR_SUCCESS);
    EXPECT_EQ(value, L"");

    value = L"untouched";
    EXPECT_EQ(held.lookup(L"Missing", value), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(registry::lookup(HKEY_LOCAL_MACHINE, key_, L"Missing", value, REG_SZ, 1), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(registry::lookup(HKEY_LOCAL_MACHINE, key_ + L"\\Missing", L"Empty", value, REG_SZ, 1),
              DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(value, L"untouched");
    DWORD number = 99;
    EXPECT_EQ(registry::lookup(HKEY_LOCAL_MACHINE, key_ + L"\\Missing", L"Good", number, 1),
              DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(number, 99u);
}

TEST_F(Registry, GetstrRaisesWithTheCodeAndNamesKeyAndValue)
{
    testreg::setString(key_, L"Present", L"here");
    EXPECT_EQ(registry::getstr(HKEY_LOCAL_MACHINE, key_, L"Present", 1), L"here");

    try {
        registry::getstr(HKEY_LOCAL_MACHINE, key_, L"Absent", 1);
        ADD_FAILURE() << "a missing value was read";
    } catch (const VFileNotFoundException& e) {
        EXPECT_EQ(e.errorCode(), 2u);
        EXPECT_TRUE(endsWith(e.message(), L"(Error code 2) at lookup subKey=" + key_ + L" value=Absent"))
            << std::string(e.message().begin(), e.message().end());
        ASSERT_EQ(e.contexts().size(), 1u);
        EXPECT_EQ(e.contexts()[0].function, "registry::getstr");
    }
    EXPECT_THROW(registry::getstr(HKEY_LOCAL_MACHINE, key_ + L"\\Missing", L"Present", 1), VFileNotFoundException);
}

TEST_F(Registry, SubKeysAppendInEnumerationOrder)
{
    // Created out of order: the registry enumerates by name, ignoring case.
    for (const wchar_t* name : {L"gamma", L"Beta", L"alpha"})
        testreg::createKey(key_ + L"\\Parent\\" + name);
    testreg::createKey(key_ + L"\\Parent\\alpha\\nested");
    testreg::createKey(key_ + L"\\Leaf");

    std::vector<std::wstring> names{L"kept"};
    EXPECT_EQ(registry::subKeys(HKEY_LOCAL_MACHINE, key_ + L"\\Parent", names, 1), ERROR_SUCCESS);
    EXPECT_EQ(names, (std::vector<std::wstring>{L"kept", L"alpha", L"Beta", L"gamma"}));

    registry parent(HKEY_LOCAL_MACHINE, key_ + L"\\Parent", KEY_READ | KEY_WOW64_32KEY, true);
    names.clear();
    EXPECT_EQ(parent.subKeys(names), DWORD(ERROR_NO_MORE_ITEMS));
    EXPECT_EQ(names, (std::vector<std::wstring>{L"alpha", L"Beta", L"gamma"}));

    // Without subkeys: the held form reports the end of the enumeration, the static form
    // the closing of its key.
    names.clear();
    registry leaf(HKEY_LOCAL_MACHINE, key_ + L"\\Leaf", KEY_READ | KEY_WOW64_32KEY, true);
    EXPECT_EQ(leaf.subKeys(names), DWORD(ERROR_NO_MORE_ITEMS));
    EXPECT_EQ(registry::subKeys(HKEY_LOCAL_MACHINE, key_ + L"\\Leaf", names, 1), ERROR_SUCCESS);
    EXPECT_EQ(registry::subKeys(HKEY_LOCAL_MACHINE, key_ + L"\\Missing", names, 1), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(names.empty());
}

TEST_F(Registry, SetWritesStringsWithTheirTerminatorAndNumbers)
{
    {
        registry writable(HKEY_LOCAL_MACHINE, key_ + L"\\Written", KEY_ALL_ACCESS | KEY_WOW64_32KEY, false);
        writable.set(L"Empty", std::wstring());
        writable.set(L"Text", std::wstring(L"abc"));
        writable.set(L"Number", DWORD(42));
    }
    const auto empty = testreg::readValue(key_ + L"\\Written", L"Empty");
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->type, DWORD(REG_SZ));
    EXPECT_EQ(empty->data, (std::vector<BYTE>{0, 0}));
    const auto text = testreg::readValue(key_ + L"\\Written", L"Text");
    ASSERT_TRUE(text);
    EXPECT_EQ(text->data, (std::vector<BYTE>{'a', 0, 'b', 0, 'c', 0, 0, 0}));
    const auto number = testreg::readValue(key_ + L"\\Written", L"Number");
    ASSERT_TRUE(number);
    EXPECT_EQ(number->type, DWORD(REG_DWORD));
    EXPECT_EQ(number->data, (std::vector<BYTE>{42, 0, 0, 0}));

    // Reading back through the layer, and opening what create made.
    registry readable(HKEY_LOCAL_MACHINE, key_ + L"\\Written", KEY_READ | KEY_WOW64_32KEY, true);
    DWORD value = 0;
    EXPECT_EQ(readable.lookup(L"Number", value), ERROR_SUCCESS);
    EXPECT_EQ(value, 42u);
}

TEST_F(Registry, OpenCreateAndSetFailuresNameTheirTarget)
{
    try {
        registry missing(HKEY_LOCAL_MACHINE, key_ + L"\\Missing", KEY_READ | KEY_WOW64_32KEY, true);
        ADD_FAILURE() << "a missing key was opened";
    } catch (const VFileNotFoundException& e) {
        EXPECT_TRUE(endsWith(e.message(), L" at RegOpenKeyEx subKey=" + key_ + L"\\Missing"));
        ASSERT_EQ(e.contexts().size(), 1u);
        EXPECT_EQ(e.contexts()[0].function, "registry::open");
    }

    registry readOnly(HKEY_LOCAL_MACHINE, key_, KEY_QUERY_VALUE | KEY_WOW64_32KEY, true);
    try {
        readOnly.set(L"Denied", DWORD(1));
        ADD_FAILURE() << "a read-only key was written";
    } catch (const VAccessDeniedException& e) {
        EXPECT_TRUE(endsWith(e.message(), L" at RegSetValueEx valueName=Denied"));
        ASSERT_EQ(e.contexts().size(), 1u);
        EXPECT_EQ(e.contexts()[0].function, "registry::set");
    }
    EXPECT_FALSE(registry::valueExists(HKEY_LOCAL_MACHINE, key_, L"Denied", 1));

    // Key names are limited to 255 characters.
    HKEY child = nullptr;
    try {
        registry::create(HKEY_LOCAL_MACHINE, std::wstring(300, L'x'), child, KEY_ALL_ACCESS | KEY_WOW64_32KEY);
        ADD_FAILURE() << "a key with an over-long name was created";
    } catch (const vosexception& e) {
        EXPECT_TRUE(endsWith(e.message(), L" at RegCreateKeyEx subKey=" + std::wstring(300, L'x')));
        ASSERT_EQ(e.contexts().size(), 1u);
        EXPECT_EQ(e.contexts()[0].function, "registry::create");
    }
    EXPECT_EQ(child, nullptr);
}

}
