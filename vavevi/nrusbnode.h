// The part that the five node classes of the USB tree (host, hub, port,
// device, pipe) have in common: the node above it, the nodes below it, its
// open handle and the way a node goes away.
//
// Each node is a plain object owned by the node above it (a host by the
// component). Opening a node opens the component first (nested: the
// component stays open while any node holds an open request). A node that
// goes away takes the nodes below it with it, gives back its own open
// request and tells the component, which then drops a selection or a
// device-list entry that refers to it.
//
// The shared part lives in the class templates below. They are not exported:
// every node class keeps its own public members, so the library exports each
// class with exactly the members it always had.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <type_traits>

#include "nrexport.h"
#include "rtcomponent.h"
#include "rtlists.h"

class TnrUsb;
class TnrUsbHost;
class TnrUsbHub;
class TnrUsbPort;
class TnrUsbDevice;
class TnrUsbPipe;

// The open state that every node shares: its handle and whether it holds an
// open request on the component. A node holds at most one request, so a node
// opened twice, or closed without having been opened, never unbalances the
// component's count. A node destroyed while open closes.
class VAVEVI_API TnrUsbNodeHandle {
 public:
  TnrUsbNodeHandle() = default;
  TnrUsbNodeHandle(const TnrUsbNodeHandle &) = delete;
  TnrUsbNodeHandle &operator=(const TnrUsbNodeHandle &) = delete;

  HANDLE Get() const { return handle_; }
  bool Valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  // Requests the component's open (once) and, when it is active, opens path
  // for reading and writing, unshared. On failure, errorPrefix (when given)
  // followed by shownPath goes to the debugger output.
  void Open(TnrUsb *usb, const std::string &path, const char *errorPrefix,
            const std::string &shownPath);
  void Close(TnrUsb *usb);

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  bool requested_ = false;
};

namespace usbtree {

// The component above a node: the host's parent is the component itself;
// every other node asks the node above it.
inline TnrUsb *UsbAbove(TnrUsb *usb) { return usb; }
template <class Parent>
TnrUsb *UsbAbove(Parent *parent) {
  return parent ? parent->GetUsb() : nullptr;
}

template <class Self, class Parent, class Child>
class Branch;

// A node: Self is the node class, Parent the class of the node above it.
template <class Self, class Parent>
class Node : public TObject {
 protected:
  Node() = default;
  explicit Node(Parent *parent) : parent_(parent) {}

  TnrUsb *NodeUsb() const { return UsbAbove(parent_); }
  void OpenNode(const std::string &path, const char *errorPrefix, const std::string &shownPath) {
    handle_.Open(NodeUsb(), path, errorPrefix, shownPath);
  }
  void CloseNode() { handle_.Close(NodeUsb()); }
  // Opens or closes through the node's own Open and Close (which know its
  // path); nothing when it already is so.
  void SetNodeActive(bool active) {
    if (active == handle_.Valid()) return;
    Self &self = static_cast<Self &>(*this);
    active ? self.Open() : self.Close();
  }
  // The first thing a node's destructor does (while the whole node still
  // stands): its open request back, and the component told. Defined with the
  // nodes (nrusbtree.cpp), where the component is known.
  void ReleaseNode();

  Parent *parent_ = nullptr;
  TnrUsbNodeHandle handle_;

 private:
  template <class, class, class>
  friend class Branch;
};

// A node with nodes below it (of class Child), which it owns.
template <class Self, class Parent, class Child>
class Branch : public Node<Self, Parent> {
 protected:
  using Node<Self, Parent>::Node;

  Child *ChildAt(int index) const {
    return index >= 0 && index < children_.Count() ? children_.Items(index) : nullptr;
  }
  // A new node below this one; its index.
  int AddChild() {
    Self *self = static_cast<Self *>(this);
    std::unique_ptr<Child> child;
    if constexpr (std::is_constructible_v<Child, Self *>)
      child = std::make_unique<Child>(self);
    else
      child = std::make_unique<Child>();
    child->parent_ = self;
    return children_.Add(std::move(child));
  }
  // The nodes below go first: each gives back its own open request.
  void ReleaseNode() {
    children_.Clear();
    Node<Self, Parent>::ReleaseNode();
  }

  TObjectList<Child> children_;
};

}  // namespace usbtree
