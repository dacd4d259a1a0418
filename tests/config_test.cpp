// The registry-backed settings of the product configuration.
#include "runtime/Config.h"

#include "support/Capture.h"
#include "support/RegistryValues.h"

#include <gtest/gtest.h>

TEST(Config, MySQLConnectionTimeoutHasAFloorAndADefault)
{
    testreg::ScopedValue timeout(CONFIG_ROOT_KEY, L"MySQLConnectionTimeout");
    for (const auto& [stored, used] : {std::pair<DWORD, DWORD>{~0u, 120}, {30, 60}, {0, 60}, {61, 61}, {600, 600}}) {
        stored == ~0u ? timeout.remove() : timeout.setDword(stored); // ~0: no value
        EXPECT_EQ(used, getMySQLConnectionTimeout()) << stored;
    }
    timeout.setString(L"90");
    EXPECT_EQ(std::wstring(L"RegQueryValueEx invalid type of '") + CONFIG_ROOT_KEY +
                  L"\\MySQLConnectionTimeout'\n   at (registry::lookup line #)"
                  L"\n   at Unable to call getMySQLConnectionTimeout()(getMySQLConnectionTimeout line #)",
              testbed::thrownText(getMySQLConnectionTimeout));
}

// Works from wherever earlier calls left the counter: the first call that returns a new
// value is a re-read, and the next one is 16 calls later. The wrongly typed value at the
// end stops the re-reads of this process for good.
TEST(Config, PipeConnectTryCountIsReReadOnEvery16thCallUntilItHasTheWrongType)
{
    testreg::ScopedValue tryCount(CONFIG_ROOT_KEY, L"PipeConnectTryCount");
    tryCount.setDword(7);
    for (int calls = 0; getPipeConnectTryCount(3) != 7; ++calls)
        ASSERT_LT(calls, 16) << "the new value was not read within 16 calls";
    // The next 16 calls: what the first 15 return (-1 when they differ), and the 16th.
    const auto sixteen = [](int defaultCount) {
        int first = getPipeConnectTryCount(defaultCount);
        for (int call = 2; call < 16; ++call)
            first = getPipeConnectTryCount(defaultCount) == first ? first : -1;
        return std::pair(first, getPipeConnectTryCount(defaultCount));
    };
    tryCount.setDword(8);
    EXPECT_EQ(std::pair(7, 8), sixteen(3));
    tryCount.remove(); // keeps the count read last
    EXPECT_EQ(std::pair(8, 8), sixteen(3));
    tryCount.setDword(0); // hands back the caller's count
    EXPECT_EQ(std::pair(8, 10), sixteen(10));
    tryCount.setString(L"9");
    EXPECT_EQ(std::pair(10, 10), sixteen(10));
    tryCount.setDword(5);
    EXPECT_EQ(std::pair(10, 10), sixteen(10)) << "the registry was read again";
}
