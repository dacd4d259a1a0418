#include "support/TreeReader.h"

namespace treereader {

namespace {

Node readNode(HWND tree, HTREEITEM item)
{
    wchar_t text[512] = {};
    TVITEMW query = {};
    query.mask = TVIF_HANDLE | TVIF_TEXT | TVIF_IMAGE | TVIF_SELECTEDIMAGE | TVIF_STATE;
    query.hItem = item;
    query.pszText = text;
    query.cchTextMax = static_cast<int>(sizeof(text) / sizeof(text[0]));
    query.stateMask = TVIS_STATEIMAGEMASK | TVIS_EXPANDED;
    SendMessageW(tree, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&query));

    Node node;
    node.item = item;
    node.text = text;
    node.image = query.iImage;
    node.selectedImage = query.iSelectedImage;
    node.stateImage = static_cast<int>((query.state & TVIS_STATEIMAGEMASK) >> 12);
    node.expanded = (query.state & TVIS_EXPANDED) != 0;
    for (auto child = TreeView_GetChild(tree, item); child; child = TreeView_GetNextSibling(tree, child))
        node.children.push_back(readNode(tree, child));
    return node;
}

} // namespace

std::vector<Node> read(HWND tree)
{
    std::vector<Node> roots;
    for (auto item = TreeView_GetRoot(tree); item; item = TreeView_GetNextSibling(tree, item))
        roots.push_back(readNode(tree, item));
    return roots;
}

std::vector<std::wstring> texts(const std::vector<Node>& nodes)
{
    std::vector<std::wstring> result;
    for (const Node& node : nodes)
        result.push_back(node.text);
    return result;
}

const Node* find(const std::vector<Node>& nodes, const std::wstring& text)
{
    for (const Node& node : nodes)
        if (node.text == text)
            return &node;
    return nullptr;
}

std::vector<std::wstring> checkedPaths(const std::vector<Node>& roots)
{
    std::vector<std::wstring> paths;
    for (const Node& root : roots) {
        if (root.stateImage == 2)
            paths.push_back(root.text);
        for (const Node& child : root.children)
            if (child.stateImage == 2)
                paths.push_back(root.text + L"/" + child.text);
    }
    return paths;
}

void setStateImage(HWND tree, HTREEITEM item, int stateImage)
{
    TVITEMW change = {};
    change.mask = TVIF_STATE;
    change.hItem = item;
    change.state = INDEXTOSTATEIMAGEMASK(stateImage);
    change.stateMask = TVIS_STATEIMAGEMASK;
    SendMessageW(tree, TVM_SETITEMW, 0, reinterpret_cast<LPARAM>(&change));
}

} // namespace treereader
