#pragma once
// Reads a tree-view control through TVM_* messages, as another program would see it.
#include <windows.h>
#include <commctrl.h>

#include <string>
#include <vector>

namespace treereader {

struct Node {
    HTREEITEM item = nullptr;
    std::wstring text;
    int image = -1;
    int selectedImage = -1;
    int stateImage = 0; // 1 unchecked, 2 checked in a TVS_CHECKBOXES tree
    bool expanded = false;
    std::vector<Node> children;
};

// The root nodes with their children (and theirs), in display order.
std::vector<Node> read(HWND tree);

std::vector<std::wstring> texts(const std::vector<Node>& nodes);
// The first node with text, or null.
const Node* find(const std::vector<Node>& nodes, const std::wstring& text);
// Every node's check state, keyed "group" or "group/child", checked ones only.
std::vector<std::wstring> checkedPaths(const std::vector<Node>& roots);

// Sets a node's check-box state image (1 unchecked, 2 checked) as a click would.
void setStateImage(HWND tree, HTREEITEM item, int stateImage);

} // namespace treereader
