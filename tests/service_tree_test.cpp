// The service tree built from a real catalogue and real services of Wine's Service Control
// Manager, shown in the control dialog created in this process.
#include "resource.h"
#include "support/DialogHarness.h"
#include "support/LogCapture.h"
#include "support/MessageBoxAnswerer.h"
#include "support/RegistryValues.h"
#include "support/TestCatalogue.h"
#include "support/TestService.h"

#include <gtest/gtest.h>

#include <tuple>

namespace {

using Strings = std::vector<std::wstring>;

const std::wstring S = L"_" + std::to_wstring(GetCurrentProcessId());
// Key names in the catalogue's (alphabetical) order: running "Zeta runner", stopped "Alpha
// stopper", disabled "Mid disabled", and one listed but not installed.
const std::wstring RUN = L"wlA" + S, STOPPED = L"wlB" + S, DISABLED = L"wlC" + S, MISSING = L"wlD" + S;

class ServiceTree : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        services_.push_back(std::make_unique<TestService>(RUN, L"Zeta runner", L""));
        services_.push_back(std::make_unique<TestService>(STOPPED, L"Alpha stopper", L""));
        services_.push_back(std::make_unique<TestService>(DISABLED, L"Mid disabled", L"", Strings{}, SERVICE_DISABLED));
        services_[0]->startAndWait();
    }
    static void TearDownTestSuite() { services_.clear(); }
    void SetUp() override
    {
        ASSERT_EQ(catalogue_.foreignPackages(), Strings{}) << "packages of another test are left over";
        catalogue_.package(a_, L"core");
    }

    const std::wstring a_ = L"a" + S, b_ = L"b" + S;
    TestCatalogue catalogue_;
    static inline std::vector<std::unique_ptr<TestService>> services_;
};

TEST_F(ServiceTree, GroupsServicesAndImagesFollowTheCatalogueAFailingPackageIsSkippedAndAMissingOneShowsOneError)
{
    testreg::deleteTree(TestCatalogue::packagesKey());
    MessageBoxAnswerer answerer;
    DialogHarness harness;
    ASSERT_EQ(answerer.boxes().size(), 1u);
    // The timer runs all the same, so marks will spread once the catalogue is back.
    EXPECT_TRUE(KillTimer(harness.window(), ControlDlg::timerId));

    // Package a puts the services in groups of its own; b lists them again elsewhere and hides
    // one; c names no component, so nothing below it is listed; d fails at its second service
    // (a "Group" of the wrong type) and keeps its first.
    const std::wstring c = L"c" + S, d = L"d" + S;
    for (const std::wstring& package : {a_, b_, c, d})
        catalogue_.package(package, package == c ? L"" : L"core");
    const std::tuple<std::wstring, std::wstring, const wchar_t*> entries[] = {
        {a_, RUN, L"Zulu group"}, {a_, STOPPED, L"hidden"}, {a_, DISABLED, nullptr}, {a_, MISSING, L"Zulu group"},
        {b_, RUN, L"Tarvo Run-Time"}, {b_, STOPPED, L"Zulu group"}, {b_, DISABLED, L"Hidden"}, {c, RUN, nullptr},
        {d, RUN, L"Mail Server"}};
    for (const auto& [package, service, group] : entries)
        catalogue_.service(package, L"core", service, group);
    testreg::setDword(TestCatalogue::packagesKey() + L"\\" + d + L"\\core\\services\\" + STOPPED, L"Group", 1);
    LogCapture log;
    // The second of two builds looks as the first: nothing is left of it, its pictures included.
    harness.command(IDC_REFRESH);
    harness.command(IDC_REFRESH);
    // Group pictures follow those of the three service states (0 started, 1 stopped, 2
    // disabled); children are sorted by their texts.
    EXPECT_EQ(harness.paths(true), (Strings{L"Tarvo Run-Time 3", L"Tarvo Run-Time/Zeta runner 0", L"Mail Server 4",
                                            L"Mail Server/Zeta runner 0", L"Zulu group 5",
                                            L"Zulu group/Alpha stopper 1", L"Zulu group/Zeta runner 0", L"hidden 6",
                                            L"hidden/Alpha stopper 1", L"Other 7", L"Other/Mid disabled 2"}));
    // The icon's state comes from the same listing; the management service is not installed.
    EXPECT_EQ(std::wstring(DialogHarness::trayRecords.back().data.szTip), L"Tarvo - Disabled");
    ASSERT_EQ(log.errors.size(), 2u) << "one for each build";
    EXPECT_EQ(log.errors[1].second.contexts().back().message, L"Try show services of " + d);

    // Failing after a good refresh leaves groups without nodes; ticks and Select All cope.
    testreg::deleteTree(TestCatalogue::packagesKey());
    harness.command(IDC_REFRESH);
    harness.tick();
    harness.command(IDC_SELECT_ALL);
    EXPECT_EQ(answerer.boxes().size(), 2u);
    EXPECT_EQ(harness.paths(), Strings{});
}

TEST_F(ServiceTree, GroupMarksSpreadAndMarksSurviveRefreshByName)
{
    for (const auto& [service, group] : {std::pair(RUN, L"Zulu group"), {STOPPED, L"Zulu group"}, {DISABLED, nullptr}})
        catalogue_.service(a_, L"core", service, group);
    DialogHarness harness;
    // Marks spread while the dialog is shown; nothing paints it before UpdateWindow below.
    ShowWindow(harness.window(), SW_SHOWNA);
    // groups: "Tarvo Run-Time", "Mail Server", "Zulu group" with RUN and STOPPED, "Other".
    const ServiceGroupList& groups = harness.dialog().groups();
    const auto click = [&](HTREEITEM item, bool checked) { TreeView_SetCheckState(harness.tree(), item, checked); };
    const auto marked = [&] { return harness.paths(false, true); };
    click(groups[2]->treeItem, true);
    harness.tick();
    EXPECT_EQ(marked(), (Strings{L"Zulu group", L"Zulu group/Alpha stopper", L"Zulu group/Zeta runner"}));
    // A service's own mark stays while its group's mark does not change, and never reaches
    // its group.
    click(groups[2]->services[1]->treeItem, false);
    click(groups[3]->services[0]->treeItem, true);
    harness.tick();
    EXPECT_EQ(marked(), (Strings{L"Zulu group", L"Zulu group/Zeta runner", L"Other/Mid disabled"}));
    click(groups[2]->treeItem, false);
    harness.tick();
    EXPECT_EQ(marked(), Strings{L"Other/Mid disabled"});

    // A moved service takes its mark along; a group's mark counts as spread already. The
    // first paint of the tree must not clear the marks.
    click(groups[2]->services[0]->treeItem, true);
    click(groups[3]->services[0]->treeItem, false);
    click(groups[3]->treeItem, true);
    catalogue_.service(a_, L"core", RUN, L"Tarvo Run-Time");
    harness.command(IDC_REFRESH);
    harness.tick();
    ShowWindow(harness.window(), SW_SHOWNORMAL);
    UpdateWindow(harness.tree());
    EXPECT_EQ(marked(), (Strings{L"Tarvo Run-Time/Zeta runner", L"Other"}));
    harness.command(IDC_SELECT_ALL);
    EXPECT_EQ(marked(), harness.paths());
    harness.command(IDC_CLEAR_ALL);
    EXPECT_EQ(marked(), Strings{});
}

} // namespace
