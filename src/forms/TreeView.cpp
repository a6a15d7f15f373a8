#include "TreeView.h"

#include "Application.h"

namespace qf {

TTreeView::TTreeView(TContainer& parent, const TreeViewArgs& args)
    : TControl(parent, {args.id, args.bounds, ""}, WC_TREEVIEWA,
               WS_TABSTOP | WS_GROUP | TVS_HASBUTTONS | TVS_HASLINES | TVS_LINESATROOT,
               WS_EX_CLIENTEDGE) {
  SendMessageA(Handle(), TVM_SETINDENT, static_cast<WPARAM>(Application().Scale(args.indent)), 0);
}

TTreeNode TTreeView::Insert(TTreeNode parent, TTreeNode after, const std::string& text) {
  TVINSERTSTRUCTA insert{};
  insert.hParent = parent ? parent : TVI_ROOT;
  insert.hInsertAfter = after;
  insert.item.mask = TVIF_TEXT;
  insert.item.pszText = const_cast<char*>(text.c_str());
  return reinterpret_cast<TTreeNode>(
      SendMessageA(Handle(), TVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&insert)));
}

TTreeNode TTreeView::AddFirst(TTreeNode parent, const std::string& text) {
  return Insert(parent, TVI_FIRST, text);
}

TTreeNode TTreeView::AddChild(TTreeNode parent, const std::string& text) {
  return Insert(parent, TVI_LAST, text);
}

void TTreeView::Delete(TTreeNode node) {
  if (node) SendMessageA(Handle(), TVM_DELETEITEM, 0, reinterpret_cast<LPARAM>(node));
}

void TTreeView::Clear() {
  SendMessageA(Handle(), TVM_DELETEITEM, 0, reinterpret_cast<LPARAM>(TVI_ROOT));
}

TTreeNode TTreeView::FirstNode() const {
  return reinterpret_cast<TTreeNode>(SendMessageA(Handle(), TVM_GETNEXTITEM, TVGN_ROOT, 0));
}

TTreeNode TTreeView::FirstChild(TTreeNode node) const {
  if (!node) return FirstNode();
  return reinterpret_cast<TTreeNode>(
      SendMessageA(Handle(), TVM_GETNEXTITEM, TVGN_CHILD, reinterpret_cast<LPARAM>(node)));
}

TTreeNode TTreeView::NextSibling(TTreeNode node) const {
  if (!node) return nullptr;
  return reinterpret_cast<TTreeNode>(
      SendMessageA(Handle(), TVM_GETNEXTITEM, TVGN_NEXT, reinterpret_cast<LPARAM>(node)));
}

TTreeNode TTreeView::Parent(TTreeNode node) const {
  if (!node) return nullptr;
  return reinterpret_cast<TTreeNode>(
      SendMessageA(Handle(), TVM_GETNEXTITEM, TVGN_PARENT, reinterpret_cast<LPARAM>(node)));
}

bool TTreeView::HasChildren(TTreeNode node) const { return node && FirstChild(node) != nullptr; }

bool TTreeView::Expanded(TTreeNode node) const {
  if (!node) return false;
  const LRESULT state =
      SendMessageA(Handle(), TVM_GETITEMSTATE, reinterpret_cast<WPARAM>(node), TVIS_EXPANDED);
  return (state & TVIS_EXPANDED) != 0;
}

int TTreeView::Level(TTreeNode node) const {
  int level = -1;
  for (TTreeNode current = node; current; current = Parent(current)) ++level;
  return level;
}

std::string TTreeView::NodeText(TTreeNode node) const {
  if (!node) return {};
  // Node texts are short names; the buffer grows until the text fits.
  for (int size = 260;; size *= 4) {
    std::string text(static_cast<size_t>(size), '\0');
    TVITEMA item{};
    item.mask = TVIF_TEXT;
    item.hItem = node;
    item.pszText = &text[0];
    item.cchTextMax = size;
    if (!SendMessageA(Handle(), TVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&item))) return {};
    const size_t length = text.find('\0');
    if (length + 1 < static_cast<size_t>(size) || size >= (1 << 16)) {
      text.resize(length == std::string::npos ? 0 : length);
      return text;
    }
  }
}

int TTreeView::Count() const {
  return static_cast<int>(SendMessageA(Handle(), TVM_GETCOUNT, 0, 0));
}

int TTreeView::Indent() const {
  return static_cast<int>(SendMessageA(Handle(), TVM_GETINDENT, 0, 0));
}

TTreeNode TTreeView::Selected() const {
  return reinterpret_cast<TTreeNode>(SendMessageA(Handle(), TVM_GETNEXTITEM, TVGN_CARET, 0));
}

void TTreeView::Select(TTreeNode node) {
  SendMessageA(Handle(), TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(node));
}

void TTreeView::BeginUpdate() {
  if (updateCount_++ == 0) SendMessageA(Handle(), WM_SETREDRAW, FALSE, 0);
}

void TTreeView::EndUpdate() {
  if (updateCount_ > 0 && --updateCount_ == 0) {
    SendMessageA(Handle(), WM_SETREDRAW, TRUE, 0);
    InvalidateRect(Handle(), nullptr, TRUE);
  }
}

LRESULT TTreeView::Notify(const NMHDR& header) {
  if (header.code == NM_DBLCLK && OnDblClick) {
    const TNotifyEvent handler = OnDblClick;
    Application().Dispatch([&] { handler(this); });
  }
  return 0;
}

}  // namespace qf
