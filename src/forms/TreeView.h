// The tree view: nodes are identified by their HTREEITEM (null: none). Node
// texts are the only data a node carries.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <string>

#include "Control.h"

namespace qf {

using TTreeNode = HTREEITEM;

struct TreeViewArgs {
  int id = 0;
  Bounds bounds;
  int indent = 19;  // pixels between a level and the next
};

class TTreeView : public TControl {
 public:
  TTreeView(TContainer& parent, const TreeViewArgs& args);

  // A new node as the first child of parent (first top-level node when parent
  // is null), before all existing ones.
  TTreeNode AddFirst(TTreeNode parent, const std::string& text);
  // A new node as the last child of parent (last top-level node when null).
  TTreeNode AddChild(TTreeNode parent, const std::string& text);
  // Deletes the node with its children.
  void Delete(TTreeNode node);
  void Clear();

  TTreeNode FirstNode() const;  // first top-level node
  TTreeNode FirstChild(TTreeNode node) const;
  TTreeNode NextSibling(TTreeNode node) const;
  TTreeNode Parent(TTreeNode node) const;
  bool HasChildren(TTreeNode node) const;
  bool Expanded(TTreeNode node) const;
  // 0 for a top-level node, 1 for its children, and so on.
  int Level(TTreeNode node) const;
  std::string NodeText(TTreeNode node) const;
  int Count() const;
  int Indent() const;

  TTreeNode Selected() const;
  void Select(TTreeNode node);

  // Holds back repainting while the tree is rebuilt; calls nest.
  void BeginUpdate();
  void EndUpdate();

  // A double click in the tree.
  TNotifyEvent OnDblClick;

  LRESULT Notify(const NMHDR& header) override;

 private:
  TTreeNode Insert(TTreeNode parent, TTreeNode after, const std::string& text);
  int updateCount_ = 0;
};

}  // namespace qf
