// The service tree built from a real catalogue and real services of Wine's Service Control
// Manager, shown in the control dialog created in this process.
#include "app/ServiceTree.h"

#include "resource.h"
#include "services/ServiceApi.h"
#include "support/DialogHarness.h"
#include "support/LogCapture.h"
#include "support/MessageBoxAnswerer.h"
#include "support/RegistryValues.h"
#include "support/TestCatalogue.h"
#include "support/TestService.h"
#include "support/TreeReader.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Strings = std::vector<std::wstring>;
using treereader::Node;

const std::wstring S = L"_" + std::to_wstring(GetCurrentProcessId());
// Service key names; the catalogue lists them in this (alphabetical) order.
const std::wstring RUN = L"wlA" + S;        // running, shown as "Zeta runner"
const std::wstring STOPPED = L"wlB" + S;    // stopped, "Alpha stopper"
const std::wstring DISABLED = L"wlC" + S;   // disabled, "Mid disabled"
const std::wstring UNREADABLE = L"wlD" + S; // its configuration cannot be read
const std::wstring MISSING = L"wlE" + S;    // listed but not installed
const std::wstring HIDDEN = L"wlF" + S;     // installed, "Hidden" in the catalogue

// Denies configuration access to UNREADABLE, as a restrictive security descriptor would;
// its status stays readable.
SC_HANDLE WINAPI openDenyingConfig(SC_HANDLE manager, LPCWSTR name, DWORD access)
{
    if (lstrcmpiW(name, UNREADABLE.c_str()) == 0 && (access & SERVICE_QUERY_CONFIG)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return service::platformServiceApi().openService(manager, name, access);
}

// The pixels of one image of list drawn on white; with iconId, of that resource icon in a
// list of the tree's kind instead.
std::vector<DWORD> pixels(HIMAGELIST list, int index, UINT iconId = 0)
{
    if (iconId) {
        list = ImageList_Create(GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), ILC_COLOR24 | ILC_MASK,
                                0, 1);
        index = ImageList_ReplaceIcon(list, -1, LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(iconId)));
    }
    int width = 0, height = 0;
    ImageList_GetIconSize(list, &width, &height);
    BITMAPINFO info = {};
    info.bmiHeader = {sizeof(info.bmiHeader), width, -height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    void* bits = nullptr;
    HDC dc = CreateCompatibleDC(nullptr);
    HBITMAP bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ previous = SelectObject(dc, bitmap);
    PatBlt(dc, 0, 0, width, height, WHITENESS);
    ImageList_Draw(list, index, dc, 0, 0, ILD_NORMAL);
    GdiFlush();
    std::vector<DWORD> result(static_cast<const DWORD*>(bits), static_cast<const DWORD*>(bits) + width * height);
    SelectObject(dc, previous);
    DeleteObject(bitmap);
    DeleteDC(dc);
    if (iconId)
        ImageList_Destroy(list);
    return result;
}
std::vector<DWORD> iconPixels(UINT iconId)
{
    return pixels(nullptr, 0, iconId);
}

class ServiceTree : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        services_.push_back(std::make_unique<TestService>(RUN, L"Zeta runner", L""));
        services_.push_back(std::make_unique<TestService>(STOPPED, L"Alpha stopper", L""));
        services_.push_back(
            std::make_unique<TestService>(DISABLED, L"Mid disabled", L"", Strings{}, SERVICE_DISABLED));
        services_.push_back(std::make_unique<TestService>(UNREADABLE, L"Unreadable display", L""));
        services_.push_back(std::make_unique<TestService>(HIDDEN, L"Hidden one", L""));
        services_[0]->startAndWait();
    }
    static void TearDownTestSuite() { services_.clear(); }

    void SetUp() override
    {
        ASSERT_EQ(catalogue_.foreignPackages(), Strings{}) << "packages of another test are left over";
        service::serviceApi().openService = &openDenyingConfig;
    }
    void TearDown() override { service::serviceApi() = savedApi_; }

    // One package: RUN and STOPPED in "Zulu group", DISABLED in "Other".
    void smallCatalogue()
    {
        catalogue_.package(a_, L"core");
        catalogue_.service(a_, L"core", RUN, L"Zulu group");
        catalogue_.service(a_, L"core", STOPPED, L"Zulu group");
        catalogue_.service(a_, L"core", DISABLED);
    }

    // The dialog without its timer: only the test's own ticks.
    std::unique_ptr<DialogHarness> openDialog()
    {
        auto harness = std::make_unique<DialogHarness>();
        KillTimer(harness->window(), ControlDlg::timerId);
        return harness;
    }

    static const Node& root(const std::vector<Node>& roots, const std::wstring& text)
    {
        const Node* node = treereader::find(roots, text);
        if (!node)
            throw std::runtime_error("no group node");
        return *node;
    }
    static Strings checked(const DialogHarness& harness)
    {
        return treereader::checkedPaths(treereader::read(harness.tree()));
    }

    const std::wstring a_ = L"a" + S, b_ = L"b" + S;
    TestCatalogue catalogue_;
    const service::ServiceApi savedApi_ = service::serviceApi();
    static inline std::vector<std::unique_ptr<TestService>> services_;
};

TEST_F(ServiceTree, GroupsServicesAndImagesFollowTheCatalogue)
{
    // Package a lists every kind of service in its own groups; b lists them again elsewhere.
    catalogue_.package(a_, L"core");
    catalogue_.service(a_, L"core", RUN, L"Zulu group");
    catalogue_.service(a_, L"core", STOPPED, L"hidden");
    catalogue_.service(a_, L"core", DISABLED);
    catalogue_.service(a_, L"core", UNREADABLE, L"Zulu group");
    catalogue_.service(a_, L"core", MISSING, L"Zulu group");
    catalogue_.package(b_, L"core");
    catalogue_.service(b_, L"core", RUN, L"Tarvo Run-Time");
    catalogue_.service(b_, L"core", STOPPED, L"Zulu group");
    catalogue_.service(b_, L"core", DISABLED, L"Mail Server");
    catalogue_.service(b_, L"core", UNREADABLE, L"mail server");
    catalogue_.service(b_, L"core", HIDDEN, L"Hidden");
    // An empty component: whatever lies below is not listed.
    const std::wstring c = L"c" + S;
    catalogue_.package(c, L"");
    catalogue_.service(c, L"web", RUN);

    DialogHarness harness;
    // A second build must look the same: nothing is left of the first.
    harness.command(IDC_REFRESH);
    const std::vector<Node> roots = treereader::read(harness.tree());
    const HIMAGELIST images = harness.dialog().imageList();

    EXPECT_EQ(treereader::texts(roots),
              (Strings{L"Tarvo Run-Time", L"Mail Server", L"Zulu group", L"hidden", L"mail server", L"Other"}));
    const UINT groupIcons[] = {IDI_GROUP_RUNTIME, IDI_GROUP_MAIL, IDI_GROUP_OTHER,
                               IDI_GROUP_OTHER,   IDI_GROUP_OTHER, IDI_GROUP_OTHER};
    for (size_t index = 0; index < roots.size() && index < 6; ++index) {
        SCOPED_TRACE(roots[index].text);
        EXPECT_EQ(roots[index].image, static_cast<int>(3 + index));
        EXPECT_EQ(roots[index].selectedImage, roots[index].image);
        EXPECT_TRUE(roots[index].expanded);
        EXPECT_EQ(pixels(images, roots[index].image), iconPixels(groupIcons[index]));
    }
    EXPECT_EQ(ImageList_GetImageCount(images), 9);
    const UINT serviceIcons[] = {IDI_SERVICE_STARTED, IDI_SERVICE_STOPPED, IDI_SERVICE_DISABLED};
    for (int index = 0; index < 3; ++index)
        EXPECT_EQ(pixels(images, index), iconPixels(serviceIcons[index])) << index;

    // Children sorted by their texts, whatever the catalogue's order; the unreadable service
    // shows its key name. Images: 0 started, 1 stopped, 2 disabled.
    const auto children = [&](const std::wstring& group) {
        Strings lines;
        for (const Node& child : root(roots, group).children)
            lines.push_back(child.text + L" " + std::to_wstring(child.image) + L"/" +
                            std::to_wstring(child.selectedImage));
        return lines;
    };
    EXPECT_EQ(children(L"Tarvo Run-Time"), Strings{L"Zeta runner 0/0"});
    EXPECT_EQ(children(L"Mail Server"), Strings{L"Mid disabled 2/2"});
    EXPECT_EQ(children(L"Zulu group"), (Strings{L"Alpha stopper 1/1", UNREADABLE + L" 2/2", L"Zeta runner 0/0"}));
    EXPECT_EQ(children(L"hidden"), Strings{L"Alpha stopper 1/1"});
    EXPECT_EQ(children(L"mail server"), Strings{UNREADABLE + L" 2/2"});
    EXPECT_EQ(children(L"Other"), Strings{L"Mid disabled 2/2"});
    EXPECT_EQ(treereader::checkedPaths(roots), Strings{});

    // The model knows each service's node, which the actions rely on.
    for (const auto& group : *harness.dialog().groups())
        for (const auto& service : group->services)
            EXPECT_EQ(TreeView_GetParent(harness.tree(), service->treeItem), group->treeItem) << service->name;
}

TEST_F(ServiceTree, FixedGroupsStayAndTheImageListDoesNotGrowWithRefreshes)
{
    catalogue_.package(a_, L"core");
    catalogue_.service(a_, L"core", MISSING, L"Zulu group");
    DialogHarness harness;
    const HIMAGELIST images = harness.dialog().imageList();
    EXPECT_EQ(ImageList_GetImageCount(images), 3 + 3);
    for (int refresh = 1; refresh < 1000; ++refresh)
        harness.command(IDC_REFRESH);
    EXPECT_EQ(ImageList_GetImageCount(images), 3 + 3);
    const std::vector<Node> roots = treereader::read(harness.tree());
    EXPECT_EQ(treereader::texts(roots), (Strings{L"Tarvo Run-Time", L"Mail Server", L"Other"}));
    for (const Node& node : roots)
        EXPECT_TRUE(node.children.empty()) << node.text;
    ASSERT_EQ(roots.size(), 3u);
    EXPECT_EQ(pixels(images, roots[2].image), iconPixels(IDI_GROUP_OTHER));
}

TEST_F(ServiceTree, FailingPackageIsLoggedAndTheOthersShown)
{
    catalogue_.package(a_, L"core");
    catalogue_.service(a_, L"core", RUN, L"Zulu group");
    testreg::setDword(TestCatalogue::packagesKey() + L"\\" + a_ + L"\\core\\services\\" + STOPPED, L"Group", 1);
    catalogue_.service(a_, L"core", DISABLED, L"Zulu group");
    catalogue_.package(b_, L"core");
    catalogue_.service(b_, L"core", UNREADABLE);

    LogCapture log;
    MessageBoxAnswerer answerer;
    DialogHarness harness;
    EXPECT_TRUE(answerer.boxes().empty());
    // What the package added before it failed stays; the next package is read.
    const std::vector<Node> roots = treereader::read(harness.tree());
    EXPECT_EQ(treereader::texts(roots), (Strings{L"Tarvo Run-Time", L"Mail Server", L"Zulu group", L"Other"}));
    EXPECT_EQ(treereader::texts(root(roots, L"Zulu group").children), Strings{L"Zeta runner"});
    EXPECT_EQ(treereader::texts(root(roots, L"Other").children), Strings{UNREADABLE});

    ASSERT_EQ(log.errors.size(), 1u);
    EXPECT_EQ(log.errors[0].first, LOG_INFO);
    const vexception& error = log.errors[0].second;
    EXPECT_NE(error.message().find(L"RegGetValue invalid type"), std::wstring::npos) << error.fullText();
    ASSERT_FALSE(error.contexts().empty());
    EXPECT_EQ(error.contexts().back().message, L"Try show services of " + a_);
}

TEST_F(ServiceTree, MarksSurviveRefreshByNameAlsoInAnotherGroup)
{
    smallCatalogue();
    auto harness = openDialog();
    std::vector<Node> roots = treereader::read(harness->tree());
    treereader::setStateImage(harness->tree(), root(roots, L"Zulu group").children[1].item, 2); // Zeta runner
    treereader::setStateImage(harness->tree(), root(roots, L"Other").item, 2);

    harness->command(IDC_REFRESH);
    EXPECT_EQ(checked(*harness), (Strings{L"Zulu group/Zeta runner", L"Other"}));
    // The group's mark is taken as already spread: its service keeps its own mark.
    harness->tick();
    EXPECT_EQ(checked(*harness), (Strings{L"Zulu group/Zeta runner", L"Other"}));

    // The service moves; its mark goes with it. Showing the dialog paints the tree for the
    // first time, which must not clear the marks.
    catalogue_.service(a_, L"core", RUN, L"Tarvo Run-Time");
    harness->command(IDC_REFRESH);
    ShowWindow(harness->window(), SW_SHOWNORMAL);
    UpdateWindow(harness->window());
    harness->pump();
    EXPECT_EQ(checked(*harness), (Strings{L"Tarvo Run-Time/Zeta runner", L"Other"}));
    EXPECT_EQ(root(treereader::read(harness->tree()), L"Zulu group").children.size(), 1u);
}

TEST_F(ServiceTree, GroupMarkSpreadsOnTheNextTickAndSelectAllClearAllMarkEverything)
{
    smallCatalogue();
    auto harness = openDialog();
    const std::vector<Node> roots = treereader::read(harness->tree());
    const Node& zulu = root(roots, L"Zulu group");

    treereader::setStateImage(harness->tree(), zulu.item, 2);
    harness->tick();
    EXPECT_EQ(checked(*harness), (Strings{L"Zulu group", L"Zulu group/Alpha stopper", L"Zulu group/Zeta runner"}));

    // A service's own mark stays while its group's mark does not change; a service's mark
    // never reaches its group.
    treereader::setStateImage(harness->tree(), zulu.children[0].item, 1);
    treereader::setStateImage(harness->tree(), root(roots, L"Other").children[0].item, 2);
    harness->tick();
    harness->tick();
    EXPECT_EQ(checked(*harness), (Strings{L"Zulu group", L"Zulu group/Zeta runner", L"Other/Mid disabled"}));

    treereader::setStateImage(harness->tree(), zulu.item, 1);
    harness->tick();
    EXPECT_EQ(checked(*harness), Strings{L"Other/Mid disabled"});
    for (const auto& service : (*harness->dialog().groups())[2]->services)
        EXPECT_FALSE(service->checked) << service->name;

    harness->command(IDC_SELECT_ALL);
    EXPECT_EQ(checked(*harness), (Strings{L"Tarvo Run-Time", L"Mail Server", L"Zulu group", L"Zulu group/Alpha stopper",
                                          L"Zulu group/Zeta runner", L"Other", L"Other/Mid disabled"}));
    harness->tick();
    harness->command(IDC_CLEAR_ALL);
    harness->tick();
    for (const Node& group : treereader::read(harness->tree())) {
        EXPECT_EQ(group.stateImage, 1) << group.text;
        for (const Node& child : group.children)
            EXPECT_EQ(child.stateImage, 1) << child.text;
    }
}

TEST_F(ServiceTree, MissingCatalogueShowsOneErrorAndTheDialogGoesOn)
{
    testreg::deleteTree(TestCatalogue::packagesKey());
    MessageBoxAnswerer answerer;
    DialogHarness harness;
    ASSERT_EQ(answerer.boxes().size(), 1u);
    EXPECT_EQ(answerer.boxes()[0].caption, L"Runtime error");
    EXPECT_NE(answerer.boxes()[0].text.find(L"RegOpenKeyEx"), std::wstring::npos) << answerer.boxes()[0].text;
    EXPECT_TRUE(treereader::read(harness.tree()).empty());
    // The timer runs all the same, so marks will spread once the catalogue is back.
    EXPECT_TRUE(KillTimer(harness.window(), ControlDlg::timerId));

    smallCatalogue();
    harness.command(IDC_REFRESH);
    EXPECT_EQ(answerer.boxes().size(), 1u);
    EXPECT_EQ(treereader::texts(treereader::read(harness.tree())),
              (Strings{L"Tarvo Run-Time", L"Mail Server", L"Zulu group", L"Other"}));

    // Failing again after a good refresh: the groups built so far have no nodes, and the
    // timer's work copes with that.
    testreg::deleteTree(TestCatalogue::packagesKey());
    harness.command(IDC_REFRESH);
    EXPECT_EQ(answerer.boxes().size(), 2u);
    EXPECT_TRUE(treereader::read(harness.tree()).empty());
    harness.tick();
    harness.command(IDC_SELECT_ALL);
    EXPECT_TRUE(IsWindow(harness.window()));
}

} // namespace
