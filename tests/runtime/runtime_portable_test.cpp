// The portable part of the class library: formatting, lists, handlers,
// components with ownership and removal notices, published properties.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "form_fixture.h"
#include "rtcomponent.h"
#include "rtexcept.h"
#include "rtformat.h"
#include "rthandler.h"
#include "rtlists.h"
#include "rtproperties.h"
#include "rtsysutils.h"

TEST(Format, IntegersTextsAndPrecision) {
  EXPECT_EQ(Format("%s +%0.3d", {"12:00:01", 7}), "12:00:01 +007");
  EXPECT_EQ(Format("%0.3d", {1234}), "1234");
  EXPECT_EQ(Format("%.3d", {-5}), "-005");
  EXPECT_EQ(Format("Fatal Error: %u, %u, %s", {4294967295u, 0, "msg"}),
            "Fatal Error: 4294967295, 0, msg");
  EXPECT_EQ(Format("%u", {-1}), "4294967295");
  EXPECT_EQ(Format("%2Xh", {10}), " Ah");
  EXPECT_EQ(Format("[%5s|%-5s|%.2s]", {"ab", "cd", "xyz"}), "[   ab|cd   |xy]");
  EXPECT_EQ(Format("%1:s %0:s %s", {"a", "b"}), "b a b");
  EXPECT_EQ(Format("100%%", {}), "100%");
  EXPECT_EQ(Format("%*d|%.*d", {4, 7, 3, 7}), "   7|007");
  EXPECT_EQ(Format("plain", {1, "unused"}), "plain");
}

TEST(Format, MismatchRaisesConversionError) {
  EXPECT_THROW(Format("%d", {"text"}), EConvertError);
  EXPECT_THROW(Format("%s", {5}), EConvertError);
  EXPECT_THROW(Format("%s %s", {"one"}), EConvertError);
  EXPECT_THROW(Format("%d", {}), EConvertError);
  EXPECT_THROW(Format("%q", {1}), EConvertError);
  EXPECT_THROW(Format("trailing %", {}), EConvertError);
  EXPECT_THROW(Format("%5:d", {1}), EConvertError);
  EXPECT_THROW(Format("%99999999999d", {1}), EConvertError);
  try {
    Format("%d", {"x"});
  } catch (const Exception &e) {
    EXPECT_EQ(e.Message(), "Format '%d' invalid or incompatible with argument");
  }
}

TEST(SysUtils, TextAndFileNames) {
  EXPECT_EQ(Trim(" \t a b \r\n"), "a b");
  EXPECT_EQ(UpperCase("com3x"), "COM3X");
  EXPECT_TRUE(SameText("Abc", "aBC"));
  EXPECT_EQ(StrToInt(" 42 "), 42);
  EXPECT_EQ(StrToInt("$1F"), 31);
  EXPECT_EQ(StrToInt("-2147483648"), -2147483647 - 1);
  EXPECT_THROW(StrToInt("2147483648"), EConvertError);
  EXPECT_THROW(StrToInt("12a"), EConvertError);
  EXPECT_THROW(StrToInt(""), EConvertError);
  EXPECT_EQ(ExtractFilePath("C:\\POS\\FRONT.EXE"), "C:\\POS\\");
  EXPECT_EQ(ExtractFilePath("C:a.log"), "C:");
  EXPECT_EQ(ExtractFilePath("a.log"), "");
  EXPECT_EQ(ChangeFileExt("C:\\POS\\FRONT.EXE", ".log"), "C:\\POS\\FRONT.log");
  EXPECT_EQ(ChangeFileExt("C:\\P.OS\\FRONT", ".log"), "C:\\P.OS\\FRONT.log");
}

TEST(StringList, ObjectSlotsTravelWithTheirEntries) {
  TStringList list;
  list.AddObject("COM3", 3);
  list.AddObject("COM10", 10);
  list.InsertObject(0, "COM1", 1);
  ASSERT_EQ(list.Count(), 3);
  EXPECT_EQ(list.Strings(0), "COM1");
  EXPECT_EQ(list.Objects(2), 10u);
  list.Delete(1);
  EXPECT_EQ(list.IndexOf("COM10"), 1);
  EXPECT_EQ(list.IndexOf("COM3"), -1);
  EXPECT_THROW(list.Strings(5), Exception);
  EXPECT_THROW(list.InsertObject(4, "x", 0), Exception);
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
}

namespace {
struct Counted {
  explicit Counted(int &alive) : alive_(alive) { ++alive_; }
  ~Counted() { --alive_; }
  int &alive_;
};

// A pointer list that owns its items through the virtual Clear and Notify.
class RecordingList : public TList {
 public:
  ~RecordingList() override { RecordingList::Clear(); }
  void Clear() override {
    ++clears;
    TList::Clear();
  }
  int clears = 0;
  std::vector<void *> deleted;

 protected:
  void Notify(void *item, TListNotification action) override {
    if (action == TListNotification::lnDeleted) deleted.push_back(item);
  }
};
}  // namespace

TEST(PointerList, VirtualClearAndOwnedItems) {
  int alive = 0;
  {
    TObjectList<Counted> owned;
    owned.Add(std::make_unique<Counted>(alive));
    owned.Add(std::make_unique<Counted>(alive));
    EXPECT_EQ(alive, 2);
    owned.Delete(0);
    EXPECT_EQ(alive, 1);
    TList &base = owned;
    base.Clear();  // reaches the owning list's Clear
    EXPECT_EQ(alive, 0);
    owned.Add(std::make_unique<Counted>(alive));
  }
  EXPECT_EQ(alive, 0);

  int a, b;
  RecordingList list;
  list.Add(&a);
  list.Add(&b);
  EXPECT_EQ(list.IndexOf(&b), 1);
  static_cast<TList &>(list).Clear();
  EXPECT_EQ(list.clears, 1);
  EXPECT_EQ(list.deleted.size(), 2u);
  EXPECT_EQ(list.Remove(&a), -1);
}

namespace {
struct Target {
  int calls = 0;
  int last = 0;
  void OnValue(int v) { ++calls, last = v; }
  void OnOther(int v) { last = -v; }
};
}  // namespace

TEST(Handler, ComparableAssignableCallable) {
  Target t1, t2;
  using H = Handler<void(int)>;
  H empty;
  EXPECT_FALSE(empty);
  EXPECT_THROW(empty(1), Exception);

  H a = H::Of<&Target::OnValue>(&t1);
  auto b = Bind<&Target::OnValue>(&t1);
  static_assert(std::is_same_v<decltype(b), H>);
  EXPECT_TRUE(a == b);
  EXPECT_FALSE(a == Bind<&Target::OnValue>(&t2));  // same operation, other object
  EXPECT_FALSE(a == Bind<&Target::OnOther>(&t1));  // same object, other operation
  EXPECT_FALSE(a == empty);
  H c;
  c = a;
  c(5);
  EXPECT_EQ(t1.calls, 1);
  EXPECT_EQ(t1.last, 5);
  EXPECT_EQ(c.Object(), &t1);
}

namespace {
// An owner that records the notices it hears. Its components are the form
// reader's test device (form_fixture.h): a property of every kind, a peer
// reference cleared on removal, each setter and Loaded call journalled.
class Owner : public TComponent {
 public:
  using TComponent::TComponent;
  std::vector<std::pair<TComponent *, TOperation>> notices;

 protected:
  void Notification(TComponent *c, TOperation op) override {
    TComponent::Notification(c, op);
    notices.emplace_back(c, op);
  }
};
}  // namespace

TEST(Component, OwnerDestroysWhatItOwns) {
  const int before = TTestDevice::Alive();
  {
    auto owner = std::make_unique<Owner>(nullptr);
    auto &a = CreateComponent<TTestDevice>(*owner);
    auto &b = CreateComponent<TTestDevice>(*owner);
    a.SetName("A");
    b.SetName("B");
    EXPECT_EQ(owner->ComponentCount(), 2);
    EXPECT_EQ(a.Owner(), owner.get());
    EXPECT_EQ(owner->FindComponent("b"), &b);
    EXPECT_THROW(b.SetName("a"), Exception);
    EXPECT_EQ(owner->notices.size(), 2u);  // two inserts
    EXPECT_EQ(TTestDevice::Alive(), before + 2);
  }
  EXPECT_EQ(TTestDevice::Alive(), before);
}

TEST(Component, RemovalNoticeClearsTheReference) {
  auto owner = std::make_unique<Owner>(nullptr);
  auto &user = CreateComponent<TTestDevice>(*owner);
  auto peer = std::make_unique<TTestDevice>(nullptr);
  user.SetPeer(peer.get());
  peer.reset();
  EXPECT_EQ(user.peer, nullptr);

  // The survivor's destruction unregisters it: no notice reaches a dead peer.
  auto other = std::make_unique<TTestDevice>(nullptr);
  {
    auto &shortLived = CreateComponent<TTestDevice>(*owner);
    shortLived.SetPeer(other.get());
    // Destroying an owned component early takes it out of its owner.
    std::unique_ptr<TTestDevice> early(&shortLived);
    early.reset();
  }
  EXPECT_EQ(owner->ComponentCount(), 1);
  other.reset();  // must not touch the destroyed component
  // The owner heard of the removal of its component.
  ASSERT_FALSE(owner->notices.empty());
  EXPECT_EQ(owner->notices.back().second, TOperation::opRemove);
}

TEST(Component, PublishedPropertiesSetByNameFromText) {
  TTestDevice::Reset();
  auto root = std::make_unique<TTestForm>(nullptr);
  auto &item = CreateComponent<TTestDevice>(*root);
  auto &peer = CreateComponent<TTestDevice>(*root);
  peer.SetName("peer1");
  root->BeginLoading();
  EXPECT_TRUE(item.ComponentState().Contains(csLoading));
  SetPublishedProperty(item, "Name", "item1");
  SetPublishedProperty(item, "count", "-12");
  SetPublishedProperty(item, "Level", "65535");
  SetPublishedProperty(item, "Flag", "True");
  SetPublishedProperty(item, "Caption", "sat.log");
  SetPublishedProperty(item, "OnValue", "Handle");
  SetPublishedProperty(item, "Peer", "peer1");
  root->EndLoading();
  EXPECT_FALSE(item.ComponentState().Contains(csLoading));
  EXPECT_EQ(TTestDevice::Journal(),
            "item1.Count(loading) item1.Level(loading) item1.Flag(loading) "
            "item1.Caption(loading) item1.OnValue(loading) item1.Peer(loading) item1.Loaded "
            "peer1.Loaded ");
  EXPECT_EQ(item.Name(), "item1");
  EXPECT_EQ(item.count, -12);
  EXPECT_EQ(item.level, 65535);
  EXPECT_TRUE(item.flag);
  EXPECT_EQ(item.caption, "sat.log");
  EXPECT_EQ(item.peer, &peer);
  ASSERT_TRUE(item.onValue);
  item.onValue(9);
  EXPECT_EQ(root->got, 9);

  EXPECT_THROW(SetPublishedProperty(item, "Level", "65536"), EConvertError);
  EXPECT_THROW(SetPublishedProperty(item, "Flag", "maybe"), EConvertError);
  EXPECT_THROW(SetPublishedProperty(item, "Missing", "1"), EPropertyError);
  EXPECT_THROW(SetPublishedProperty(item, "OnValue", "NoSuchMethod"), EPropertyError);
  EXPECT_THROW(SetPublishedProperty(item, "Peer", "nobody"), EPropertyError);
  SetPublishedProperty(item, "Peer", "");
  EXPECT_EQ(item.peer, nullptr);
}

TEST(Properties, EnumerationsAndSets) {
  using TColours = TSet<TTestColour>;
  EXPECT_EQ(rt_detail::FromText<TTestColour>("clBlue", nullptr), clBlue);
  EXPECT_THROW(rt_detail::FromText<TTestColour>("clPink", nullptr), EConvertError);
  TColours s = rt_detail::FromText<TColours>("[clRed, clBlue]", nullptr);
  EXPECT_EQ(s.ToBits(), 0x05);
  EXPECT_TRUE(rt_detail::FromText<TColours>("[]", nullptr).Empty());
  EXPECT_THROW(rt_detail::FromText<TColours>("clRed", nullptr), EConvertError);
  EXPECT_EQ((TColours{clRed} + TColours{clGreen}).ToBits(), 0x03);
}

TEST(Properties, ComponentClassesByName) {
  EXPECT_TRUE(IsComponentClassRegistered("ttestdevice"));  // form_fixture.h registers it
  TTestForm root(nullptr);
  TComponent &made = CreateComponentByClassName("TTestDevice", root);
  EXPECT_EQ(made.Owner(), &root);
  EXPECT_NE(dynamic_cast<TTestDevice *>(&made), nullptr);
  EXPECT_THROW(CreateComponentByClassName("TNoSuchClass", root), EPropertyError);
}
