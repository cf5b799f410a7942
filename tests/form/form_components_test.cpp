// The device form's resource against the real component classes that this
// program links: every value it gives the USB and log components is taken
// by their published properties, with the type each property has.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "nrlogfile.h"
#include "rtforms.h"
#include "varaz.h"

namespace {

// A form of the device form's class that builds whatever its resource gives.
class TCommDrvParts : public TForm {
 public:
  using TForm::TForm;
  template <class T>
  T &Get(const char *name) {
    return Field<T>(name);
  }
};

std::string ResourceWithout(const std::string &block) {
  std::optional<std::string_view> text = FindModuleResource("TCOMMDRV");
  if (!text) return {};
  std::string s(*text);
  std::size_t from = s.find("  " + block + " {");
  std::size_t to = s.find("\n  }\n", from);
  if (from == std::string::npos || to == std::string::npos) return {};
  return s.erase(from, to + 5 - from);
}

}  // namespace

TEST(DeviceFormResource, GivesTheUsbAndLogComponentsTheirValues) {
  // The serial component's class is not in this program: its block is cut.
  std::string text = ResourceWithout("TvaVevi vaVevi1");
  ASSERT_NE(text.find("TnrUsb vaRaz1"), std::string::npos);
  ASSERT_EQ(text.find("TvaVevi"), std::string::npos);

  TCommDrvParts form(nullptr);
  form.ReadForm(text, "TCommDrv", "TCOMMDRV");
  EXPECT_EQ(form.Name(), "CommDrv");
  ASSERT_EQ(form.ComponentCount(), 2);

  auto &usb = form.Get<TnrUsb>("vaRaz1");
  EXPECT_EQ(usb.GetOptions().ToBits(), 0x07);  // uoShowHost, uoShowHub, uoShowPort
  TStringList devices;
  usb.GetDeviceList(&devices);
  // Index 0 of the device list, or -1 where no host controller is seen.
  EXPECT_EQ(usb.GetDeviceIndex(), devices.Count() > 0 ? 0 : -1);
  EXPECT_FALSE(usb.ComponentState().Contains(csLoading));

  auto &log = form.Get<TnrLogFile>("nrLogFile1");
  EXPECT_EQ(log.GetSizeLimit(), 2048000u);
  EXPECT_EQ(log.GetFileName(), "sat.log");
  EXPECT_EQ(log.GetDetailLevel(), dlDetail);
  EXPECT_EQ(log.GetOptions().ToBits(), 0x5B);
  EXPECT_TRUE(log.PendingText().empty());
}
