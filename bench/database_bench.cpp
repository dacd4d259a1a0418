// The MySQL provider against the bare Connector/C calls on the same server in the same run:
// "select 1" through query and back out of its record set, also with the Debug switch on
// (every statement then writes a line to the debug file), and 100 000 rows read through the
// record set as wide strings against the same rows read as the library's C strings.
#include "panel/MySQLDatabaseProvider.h"
#include "runtime/Config.h"
#include "runtime/LogManager.h"
#include "runtime/Path.h"
#include "runtime/Strings.h"

#include "support/RegistryValues.h"
#include "support/TestBed.h"

#include "Timing.h"

#include <cstdio>
#include <cstring>
#include <functional>

namespace {

constexpr int ROUND_TRIPS = 8000;
// Round trips per round: short rounds, many of them, so that the median ratio is steady.
constexpr int PER_ROUND = 20;
constexpr int ROWS = 100000;
constexpr int ROW_ROUNDS = 15;

size_t checksum = 0;

void bareQuery(MYSQL* mysql, const char* statement, const std::function<void(MYSQL_ROW, unsigned)>& row)
{
    if (mysql_real_query(mysql, statement, static_cast<unsigned long>(std::strlen(statement))) != 0) {
        std::fprintf(stderr, "bare query failed: %s\n", mysql_error(mysql));
        std::exit(1);
    }
    const UniqueMySqlResult result(mysql_store_result(mysql));
    const unsigned fields = mysql_num_fields(result.get());
    while (MYSQL_ROW values = mysql_fetch_row(result.get()))
        row(values, fields);
}

void viaProvider(IDatabaseProvider& provider, const std::wstring& statement)
{
    for (RecordSetRef rows = provider.query(statement); rows->moveNext();)
        for (uint32_t i = 0; i < rows->fieldCount(); ++i)
            checksum += rows->getString(i, L"", false).size();
}

void bareRow(MYSQL_ROW values, unsigned fields)
{
    for (unsigned i = 0; i < fields; ++i)
        checksum += std::strlen(values[i]);
}

struct Figures {
    double bareMs, providerMs, ratio;
};

// Alternating rounds, so that both sides meet the same load from whatever else runs, each side
// first in every other round (whichever goes second meets a server and a connection still busy
// with the first); the ratio is the median of the rounds' own ratios.
Figures measure(int rounds, const std::function<void()>& bare, const std::function<void()>& provider,
                double scale = 1.0)
{
    std::vector<double> bareTimes, providerTimes, ratios;
    const auto timed = [](const std::function<void()>& run) {
        const double start = nowMs();
        run();
        return nowMs() - start;
    };
    for (int round = 0; round < rounds; ++round) {
        if (round % 2 == 0) {
            bareTimes.push_back(timed(bare));
            providerTimes.push_back(timed(provider));
        } else {
            providerTimes.push_back(timed(provider));
            bareTimes.push_back(timed(bare));
        }
        ratios.push_back(providerTimes.back() / bareTimes.back());
    }
    return {median(bareTimes) * scale, median(providerTimes) * scale, median(ratios)};
}

void report(const char* what, const Figures& figures)
{
    std::printf("%-36s bare %8.3f ms  provider %8.3f ms  ratio %.2f (goal <= 1.2)\n", what, figures.bareMs,
                figures.providerMs, figures.ratio);
}

} // namespace

int main()
{
    const std::wstring host = testbed::env(L"WL_TEST_DB_HOST"), password = testbed::env(L"WL_TEST_DB_PASSWORD");
    const int port = _wtoi(testbed::env(L"WL_TEST_DB_PORT").c_str());
    try {
        MySQLDatabaseProvider provider;
        provider.connect(host, L"kzo", L"admin", password, port, L"");
        const UniqueMySql bare(mysql_init(nullptr));
        if (!mysql_real_connect(bare.get(), cstr(host, CP_ACP).c_str(), "admin", cstr(password, CP_ACP).c_str(), "kzo",
                                static_cast<unsigned>(port), nullptr, 0)) {
            std::fprintf(stderr, "bare connect failed: %s\n", mysql_error(bare.get()));
            return 1;
        }
        provider.execute(L"DROP TABLE IF EXISTS wl_bench");
        provider.execute(L"CREATE TABLE wl_bench (id INT PRIMARY KEY, name VARCHAR(64) NOT NULL)");
        provider.execute(formatString(L"INSERT INTO wl_bench SELECT seq, CONCAT('session-', seq, '-', MD5(seq)) "
                                      L"FROM seq_1_to_%d", ROWS));

        report("select 1, per 100 round trips", measure(ROUND_TRIPS / PER_ROUND,
            [&] { for (int i = 0; i < PER_ROUND; ++i) bareQuery(bare.get(), "select 1", bareRow); },
            [&] { for (int i = 0; i < PER_ROUND; ++i) viaProvider(provider, L"select 1"); }, 100.0 / PER_ROUND));
        {
            const std::wstring root = testbed::env(L"TEMP") + L"\\" + testbed::uniqueName(L"wl_db_bench");
            makeDir(root + L"\\admin\\logs");
            testreg::ScopedValue productRoot(CONFIG_ROOT_KEY, L"PRODUCT_ROOT_D"), debug(CONFIG_ROOT_KEY, L"Debug");
            productRoot.setString(root);
            debug.setDword(1);
            const Figures figures = measure(ROUND_TRIPS / PER_ROUND,
                [&] { for (int i = 0; i < PER_ROUND; ++i) bareQuery(bare.get(), "select 1", bareRow); },
                [&] { for (int i = 0; i < PER_ROUND; ++i) viaProvider(provider, L"select 1"); }, 100.0 / PER_ROUND);
            report("select 1 with Debug on, per 100", figures);
            std::printf("RESULT|database select 1 with Debug on vs the bare client calls|%.3f ms|%.3f ms|%.2f|1.05\n",
                        figures.providerMs / 100, figures.bareMs / 100, figures.ratio);
            debug.setDword(0);
            LogManager::instance().flush();
        }
        report("100 000 rows x 2 columns, read", measure(ROW_ROUNDS,
            [&] { bareQuery(bare.get(), "SELECT id, name FROM wl_bench", bareRow); },
            [&] { viaProvider(provider, L"SELECT id, name FROM wl_bench"); }));
        provider.execute(L"DROP TABLE wl_bench");
    } catch (const vexception& error) {
        std::fprintf(stderr, "%ls\n", error.fullText().c_str());
        return 1;
    }
    return checksum == 0;
}
