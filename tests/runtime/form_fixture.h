// Test components for the form reader: a device with a property of every
// kind that records each setter call, and a form that publishes two methods.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "rtcomponent.h"
#include "rtforms.h"
#include "rthandler.h"
#include "rtproperties.h"
#include "rtset.h"

enum TTestColour { clRed, clGreen, clBlue };
template <>
struct EnumNames<TTestColour> {
  static constexpr std::array<std::string_view, 3> names{"clRed", "clGreen", "clBlue"};
};

class TTestDevice : public TComponent {
 public:
  explicit TTestDevice(TComponent *owner) : TComponent(owner) { ++alive_; }
  ~TTestDevice() override { --alive_; }

  void SetPeer(TTestDevice *p) {
    Note("Peer");
    if (peer && peer != p) RemoveFreeNotification(peer);
    peer = p;
    if (p) FreeNotification(p);
  }
  void SetCount(std::int32_t v) {
    Note("Count");
    count = v;
  }
  void SetLevel(std::uint16_t v) {
    Note("Level");
    level = v;
  }
  void SetFlag(bool v) {
    Note("Flag");
    flag = v;
  }
  void SetCaption(std::string v) {
    Note("Caption");
    caption = std::move(v);
  }
  void SetColour(TTestColour v) {
    Note("Colour");
    colour = v;
  }
  void SetColours(TSet<TTestColour> v) {
    Note("Colours");
    colours = v;
  }
  void SetOnValue(Handler<void(int)> h) {
    Note("OnValue");
    onValue = h;
  }

  const TPropertyTable &Published() const override {
    static const TPropertyTable table = TPropertyTable(TComponent::Published())
                                            .Add<&TTestDevice::SetPeer>("Peer")
                                            .Add<&TTestDevice::SetCount>("Count")
                                            .Add<&TTestDevice::SetLevel>("Level")
                                            .Add<&TTestDevice::SetFlag>("Flag")
                                            .Add<&TTestDevice::SetCaption>("Caption")
                                            .Add<&TTestDevice::SetColour>("Colour")
                                            .Add<&TTestDevice::SetColours>("Colours")
                                            .Add<&TTestDevice::SetOnValue>("OnValue");
    return table;
  }

  TTestDevice *peer = nullptr;
  std::int32_t count = 0;
  std::uint16_t level = 0;
  bool flag = false;
  std::string caption;
  TTestColour colour = clRed;
  TSet<TTestColour> colours;
  Handler<void(int)> onValue;

  static void Reset() { journal_.clear(); }
  static const std::string &Journal() { return journal_; }
  static int Alive() { return alive_; }

 protected:
  void Notification(TComponent *c, TOperation op) override {
    TComponent::Notification(c, op);
    if (op == TOperation::opRemove && c == peer) peer = nullptr;
  }
  void Loaded() override {
    TComponent::Loaded();
    journal_ += Name() + ".Loaded ";
  }

 private:
  void Note(const char *property) {
    if (journal_.size() < 4096)
      journal_ += Name() + "." + property +
                  (ComponentState().Contains(csLoading) ? "(loading) " : "(ready) ");
  }
  static inline std::string journal_;
  static inline int alive_ = 0;
};

inline const TComponentClassRegistrar<TTestDevice> g_testDeviceClass{"TTestDevice"};

class TTestForm : public TForm {
 public:
  using TForm::TForm;
  void Handle(int v) { got = v; }
  void Notify(TObject *) {}
  void SetTag(int v) { tag = v; }
  TTestDevice &Device(std::string_view name) { return Field<TTestDevice>(name); }

  const TPropertyTable &Published() const override {
    static const TPropertyTable table =
        TPropertyTable(TForm::Published()).Add<&TTestForm::SetTag>("Tag");
    return table;
  }
  std::any MethodAddress(std::string_view name) const override {
    static const TMethodTable<TTestForm> methods =
        TMethodTable<TTestForm>().Add<&TTestForm::Handle>("Handle").Add<&TTestForm::Notify>(
            "Notify");
    return methods.Find(name, const_cast<TTestForm *>(this));
  }

  int got = 0;
  int tag = 0;
};

// A value written back as the resource would write it.
inline std::string ShowValue(const TPropertyValue &v) {
  switch (v.kind) {
    case TPropertyValue::vkInteger:
      return std::to_string(v.integer);
    case TPropertyValue::vkBoolean:
      return v.integer ? "true" : "false";
    case TPropertyValue::vkName:
      return v.text;
    case TPropertyValue::vkSet: {
      std::string s = "[";
      for (std::size_t i = 0; i < v.items.size(); ++i) s += (i ? ", " : "") + v.items[i];
      return s + "]";
    }
    case TPropertyValue::vkString:
      break;
  }
  std::string s = "\"";
  for (unsigned char c : v.text) {
    if (c == '"' || c == '\\') {
      s += '\\';
      s += static_cast<char>(c);
    } else if (c == '\t') {
      s += "\\t";
    } else if (c < ' ' || c >= 0x7F) {
      static const char digits[] = "0123456789ABCDEF";
      s += "\\x";
      s += digits[c >> 4];
      s += digits[c & 15];
    } else {
      s += static_cast<char>(c);
    }
  }
  return s + "\"";
}
