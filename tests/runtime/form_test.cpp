// The form-resource reader and the forms built from it: malformed input of
// every kind gives its line and reason, a good resource builds its
// components with every kind of property, and the device form's resource
// holds the values the library ships.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "form_fixture.h"
#include "rtformres.h"
#include "rtforms.h"

namespace {

struct BadCase {
  const char *what;
  std::string text;
  int line;
  const char *reason;  // a part of the reason
};

std::string Nested(int levels) {
  std::string s = "TTestForm F {\n";
  for (int i = 0; i < levels; ++i) s += "TTestDevice d" + std::to_string(i) + " {\n";
  for (int i = 0; i < levels; ++i) s += "}\n";
  return s + "}\n";
}

// The device form's resource as the library carries it: in the module on
// Windows (this program links the resource script), as its file elsewhere.
std::string DeviceFormResourceText() {
#if defined(_WIN32)
  std::optional<std::string_view> text = FindModuleResource("TCOMMDRV");
  return text ? std::string(*text) : std::string();
#else
  std::ifstream in(TORVEX_SOURCE_DIR "/resources/commdrv.form", std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
#endif
}

std::string WithDevice(const std::string &body) {
  return "TTestForm F {\n  TTestDevice d1 {\n" + body + "\n  }\n}\n";
}

std::vector<BadCase> MalformedCases() {
  std::string manyItems = "[";
  for (int i = 0; i < 65; ++i) manyItems += std::string(i ? ", " : "") + "clRed";
  manyItems += "]";
  return {
      {"empty", "", 1, "a class name expected, not the end of the resource"},
      {"only a comment", "# nothing\n", 2, "a class name expected"},
      {"truncated in a block", "TTestForm F {\n  TTestDevice d1 {\n    Count = 5\n", 4,
       "'}' expected to close d1 (opened on line 2)"},
      {"truncated after '='", "TTestForm F {\n Count =", 2, "a value expected for Count"},
      {"truncated in a text", "TTestForm F {\n Caption = \"abc", 2, "text not closed"},
      {"text across lines", "TTestForm F {\n Caption = \"abc\n\"\n}", 2,
       "text not closed on its line"},
      {"truncated in a set", "TTestForm F {\n Colours = [clRed,", 2,
       "']' expected to close the set opened on line 2"},
      {"no name", "TTestForm {\n}", 1, "a component name after the class name expected"},
      {"no brace", "TTestForm F\n Count = 1", 2, "'{' expected after F"},
      {"stray character", WithDevice("Count = 5;"), 3, "unexpected character ';'"},
      {"NUL byte", WithDevice(std::string("Count = 5\0", 10)), 3, "unexpected character 0x00"},
      {"byte above 127", WithDevice("Caption = x\xC3\xA9"), 3, "unexpected character 0xC3"},
      {"control character in a text", WithDevice("Caption = \"a\x01\""), 3,
       "control character 0x01"},
      {"unknown escape", WithDevice("Caption = \"\\q\""), 3, "unknown escape \\q"},
      {"short hex escape", WithDevice("Caption = \"\\x4\""), 3, "two hexadecimal digits"},
      {"zero character", WithDevice("Caption = \"\\x00\""), 3, "the character 0"},
      {"huge integer", WithDevice("Count = 99999999999999999999"), 3, "integer out of range"},
      {"huge negative integer", WithDevice("Count = -9223372036854775809"), 3,
       "integer out of range"},
      {"huge hex integer", WithDevice("Count = 0x10000000000000000"), 3, "integer out of range"},
      {"malformed integer", WithDevice("Count = 12ab"), 3, "malformed integer"},
      {"lone minus", WithDevice("Count = -"), 3, "malformed integer"},
      {"missing '='", WithDevice("Count 5"), 3, "'=' or a component name expected after Count"},
      {"value is a brace", WithDevice("Count = {"), 3, "a value expected for Count, not '{'"},
      {"set of texts", WithDevice("Colours = [\"red\"]"), 3, "a member name expected"},
      {"set without comma", WithDevice("Colours = [clRed clBlue]"), 3, "',' or ']' expected"},
      {"set too large", WithDevice("Colours = " + manyItems), 3, "set of more than 64 members"},
      {"property twice", WithDevice("Count = 1\ncount = 2"), 4,
       "property count set twice (first on line 3)"},
      {"component twice", "TTestForm F {\n TTestDevice d1 {\n }\n TTestDevice D1 {\n }\n}", 4,
       "a component named D1 is already in F (line 2)"},
      {"text after the form", "TTestForm F {\n}\nTTestForm G {\n}", 3,
       "text after the end of the form"},
      {"boolean as a name", "TTestForm true {\n}", 1, "a component name after the class name"},
      {"name too long", "TTestForm " + std::string(256, 'n') + " {\n}", 1,
       "name longer than 255 characters"},
      {"text too long", WithDevice("Caption = \"" + std::string(32768, 't') + "\""), 3,
       "text longer than 32767 characters"},
      {"nesting too deep", Nested(16), 17, "blocks nested more than 16 deep"},
      {"resource too large", std::string(kMaxFormResourceSize + 1, ' '), 1,
       "resource larger than 1048576 bytes"},
  };
}

}  // namespace

TEST(FormResource, MalformedInputGivesItsLineAndReason) {
  for (const BadCase &c : MalformedCases()) {
    SCOPED_TRACE(c.what);
    try {
      ParseFormResource(c.text);
      ADD_FAILURE() << "no error; expected line " << c.line << ": " << c.reason;
    } catch (const EResourceError &e) {
      EXPECT_EQ(e.Line(), c.line) << e.what();
      EXPECT_NE(e.Reason().find(c.reason), std::string::npos)
          << "reason: " << e.Reason() << "\nexpected a part: " << c.reason;
      EXPECT_EQ(std::string(e.what()), "line " + std::to_string(c.line) + ": " + e.Reason());
    }
  }
  // The deepest nesting allowed reads.
  EXPECT_NO_THROW(ParseFormResource(Nested(15)));
}

// A resource of the largest size with over 100,000 names in one block,
// properties and components: each name is checked against the block's others
// once (a check against every earlier name would take billions of
// comparisons here, minutes rather than the moment this takes), and a repeat
// of the first name at the very end is still found, with both lines.
TEST(FormResource, TheLargestResourceWithOneHundredThousandNamesIsReadInOnePass) {
  auto Name = [](std::size_t i) {
    std::string n = "p";
    for (; i; i /= 26) n += static_cast<char>('a' + i % 26);
    return n;
  };
  struct Case {
    const char *what;
    std::string (*line)(const std::string &);
    const char *repeat;
  } cases[] = {
      {"properties", [](const std::string &n) { return n + "=0\n"; }, "property P set twice"},
      {"components", [](const std::string &n) { return "T " + n + "{}\n"; },
       "a component named P is already in f"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    std::string text = "TForm f {\n";
    std::size_t count = 0;
    const std::string close = "}\n", last = c.line("P");
    while (text.size() + c.line(Name(count)).size() + last.size() + close.size() <=
           kMaxFormResourceSize)
      text += c.line(Name(count++));
    ASSERT_GT(count, 100000u);
    TResourceObject form = ParseFormResource(text + close);
    EXPECT_EQ(form.properties.size() + form.children.size(), count);
    EXPECT_EQ(form.properties.empty() ? form.children.back().name : form.properties.back().name,
              Name(count - 1));

    text += last + close;  // the first name, "p", in capitals
    ASSERT_LE(text.size(), kMaxFormResourceSize);
    try {
      ParseFormResource(text);
      ADD_FAILURE() << "the repeated name was not found";
    } catch (const EResourceError &e) {
      EXPECT_EQ(e.Line(), static_cast<int>(count) + 2);
      EXPECT_NE(e.Reason().find(c.repeat), std::string::npos) << e.Reason();
      EXPECT_NE(e.Reason().find("line 2)"), std::string::npos) << e.Reason();
    }
  }
}

TEST(FormResource, ValuesOfEveryKind) {
  TResourceObject form = ParseFormResource(
      "\xEF\xBB\xBF# a comment\n"
      "TTestForm Main {  # the form\n"
      "  Count = -0x10\n"
      "  TTestDevice d1 {\n"
      "    Caption = \"a \\\"b\\\" \\\\ \\t\\x41\xE9\" Level=65535 Flag=TRUE Flag2=false\n"
      "    Colours = [] Colour = clBlue Peer = nil\n"
      "    Min = -9223372036854775808 Max = 9223372036854775807\n"
      "    Colours2 = [ clRed ,clGreen ]\n"
      "  }\n"
      "}");
  EXPECT_EQ(form.className, "TTestForm");
  EXPECT_EQ(form.name, "Main");
  EXPECT_EQ(form.line, 2);
  ASSERT_EQ(form.properties.size(), 1u);
  EXPECT_EQ(form.properties[0].value.integer, -16);
  ASSERT_EQ(form.children.size(), 1u);
  const TResourceObject &d = form.children[0];
  EXPECT_EQ(d.line, 4);
  std::vector<std::string> shown;
  for (const TResourceProperty &p : d.properties)
    shown.push_back(std::to_string(p.line) + " " + p.name + " = " + ShowValue(p.value));
  EXPECT_EQ(shown, (std::vector<std::string>{
                       "5 Caption = \"a \\\"b\\\" \\\\ \\tA\\xE9\"",
                       "5 Level = 65535",
                       "5 Flag = true",
                       "5 Flag2 = false",
                       "6 Colours = []",
                       "6 Colour = clBlue",
                       "6 Peer = nil",
                       "7 Min = -9223372036854775808",
                       "7 Max = 9223372036854775807",
                       "8 Colours2 = [clRed, clGreen]",
                   }));
}

TEST(Form, BuildsItsComponentsFromTheResource) {
  TTestDevice::Reset();
  auto owner = std::make_unique<TComponent>(nullptr);
  CreateComponent<TComponent>(*owner).SetName("Main");  // the form's name is taken
  auto &form = CreateComponent<TTestForm>(*owner);
  form.ReadForm(
      "TTestForm Main {\n"
      "  Tag = 7\n"
      "  TTestDevice d1 {\n"
      "    Peer = d2            # a component whose block comes later\n"
      "    Count = -5\n"
      "    Level = 65535\n"
      "    Flag = true\n"
      "    Caption = \"sat.log\"\n"
      "    Colour = clGreen\n"
      "    Colours = [clRed, clBlue]\n"
      "    OnValue = Handle\n"
      "    TTestDevice inner1 {\n"
      "      Count = 3\n"
      "    }\n"
      "  }\n"
      "  TTestDevice d2 {\n"
      "  }\n"
      "}\n",
      "TTestForm", "TTESTFORM");
  EXPECT_EQ(form.Name(), "Main_1");
  EXPECT_EQ(form.tag, 7);
  ASSERT_EQ(form.ComponentCount(), 2);
  auto &d1 = dynamic_cast<TTestDevice &>(*form.Components(0));
  auto &d2 = dynamic_cast<TTestDevice &>(*form.Components(1));
  EXPECT_EQ(d1.Name(), "d1");
  EXPECT_EQ(d1.Owner(), &form);
  EXPECT_EQ(d1.peer, &d2);
  EXPECT_EQ(d1.count, -5);
  EXPECT_EQ(d1.level, 65535);
  EXPECT_TRUE(d1.flag);
  EXPECT_EQ(d1.caption, "sat.log");
  EXPECT_EQ(d1.colour, clGreen);
  EXPECT_EQ(d1.colours.ToBits(), 0x05);
  ASSERT_TRUE(d1.onValue);
  d1.onValue(42);
  EXPECT_EQ(form.got, 42);
  // Nested blocks are owned by the enclosing component.
  ASSERT_EQ(d1.ComponentCount(), 1);
  auto &inner = dynamic_cast<TTestDevice &>(*d1.Components(0));
  EXPECT_EQ(inner.Name(), "inner1");
  EXPECT_EQ(inner.count, 3);
  // Properties in block order; all set while loading; Loaded once each after.
  EXPECT_EQ(TTestDevice::Journal(),
            "d1.Peer(loading) d1.Count(loading) d1.Level(loading) d1.Flag(loading) "
            "d1.Caption(loading) d1.Colour(loading) d1.Colours(loading) d1.OnValue(loading) "
            "inner1.Count(loading) inner1.Loaded d1.Loaded d2.Loaded ");
  EXPECT_FALSE(form.ComponentState().Contains(csLoading));
  EXPECT_FALSE(inner.ComponentState().Contains(csLoading));
  // The components the form needs are its own, found by name.
  EXPECT_EQ(&form.Device("D1"), &d1);
  try {
    form.Device("inner1");
    ADD_FAILURE() << "no error";
  } catch (const EResourceError &e) {
    EXPECT_STREQ(e.what(), "TTESTFORM: the form has no component inner1 of the class it needs");
  }
}

// A form of the largest size with over 50,000 components: each is named
// and, when the form is destroyed, removed at a cost that does not grow with
// the others (finding a name or a component by going through all the
// others would take billions of steps here).
TEST(Form, TheLargestFormWithFiftyThousandComponentsIsBuiltAndDestroyedInOnePass) {
  TTestDevice::Reset();
  std::string text = "TTestForm f {\n";
  int count = 0;
  for (;;) {
    std::string line = "TTestDevice d" + std::to_string(count) + "{}\n";
    if (text.size() + line.size() + 2 > kMaxFormResourceSize) break;
    text += line;
    ++count;
  }
  text += "}\n";
  ASSERT_GT(count, 50000);
  {
    auto form = std::make_unique<TTestForm>(nullptr);
    form->ReadForm(text, "TTestForm");
    ASSERT_EQ(form->ComponentCount(), count);
    EXPECT_EQ(form->FindComponent("D" + std::to_string(count - 1)), form->Components(count - 1));
    EXPECT_EQ(TTestDevice::Alive(), count);
  }
  EXPECT_EQ(TTestDevice::Alive(), 0);
}

TEST(Form, ResourceThatDoesNotFitLeavesTheFormAsItWas) {
  struct Case {
    const char *what;
    std::string text;
    int line;
    const char *reason;
  };
  const std::vector<Case> cases = {
      {"unknown class", "TTestForm F {\n TTestDevice d1 {\n }\n TNoSuchClass x {\n }\n}", 4,
       "class TNoSuchClass is not registered"},
      {"unknown property", WithDevice("Count = 1\nColor = clRed"), 4,
       "TTestDevice has no property Color"},
      {"text for an integer", WithDevice("Count = \"5\""), 3,
       "Count of d1: an integer is expected, not a text"},
      {"integer for a boolean", WithDevice("Flag = 1"), 3,
       "Flag of d1: a boolean is expected, not an integer"},
      {"name for a text", WithDevice("Caption = sat"), 3, "a text is expected, not a name"},
      {"set for an enumeration", WithDevice("Colour = [clRed]"), 3,
       "a name is expected, not a set"},
      {"out of range", WithDevice("Level = 65536"), 3,
       "Level of d1: '65536' is not a valid integer value (0..65535)"},
      {"negative for unsigned", WithDevice("Level = -1"), 3, "(0..65535)"},
      {"huge for 32 bits", WithDevice("Count = 2147483648"), 3, "(-2147483648..2147483647)"},
      {"unknown enumeration value", WithDevice("Colour = clPink"), 3,
       "'clPink' is not a valid enumeration value (clRed, clGreen, clBlue)"},
      {"unknown set member", WithDevice("Colours = [clRed, clPink]"), 3,
       "'clPink' is not a valid enumeration value"},
      {"unknown handler", WithDevice("OnValue = NoSuchMethod"), 3,
       "OnValue of d1: No method named NoSuchMethod"},
      {"handler of another kind", WithDevice("OnValue = Notify"), 3,
       "Method Notify does not fit this event"},
      {"unknown component", WithDevice("Peer = nobody"), 3, "No component named nobody"},
      {"name as a property", WithDevice("Name = \"x\""), 3, "is given in its block"},
      {"another form's resource", "TOtherForm F {\n}", 1,
       "the resource describes a TOtherForm, not a TTestForm"},
      {"malformed", WithDevice("Count = ="), 3, "a value expected for Count"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    TTestDevice::Reset();
    TTestForm form(nullptr);
    try {
      form.ReadForm(c.text, "TTestForm", "TTESTFORM");
      ADD_FAILURE() << "no error";
    } catch (const EResourceError &e) {
      EXPECT_EQ(e.Line(), c.line) << e.what();
      EXPECT_NE(e.Reason().find(c.reason), std::string::npos) << e.Reason();
      EXPECT_EQ(std::string(e.what()).rfind("TTESTFORM, line " + std::to_string(c.line) + ": ", 0),
                0u)
          << e.what();
    }
    // Whatever was made is gone, nothing is loading, nothing was Loaded.
    EXPECT_EQ(form.Name(), "");
    EXPECT_EQ(form.ComponentCount(), 0);
    EXPECT_EQ(TTestDevice::Alive(), 0);
    EXPECT_FALSE(form.ComponentState().Contains(csLoading));
    EXPECT_EQ(TTestDevice::Journal().find("Loaded"), std::string::npos);
    // The same form reads a good resource afterwards.
    form.ReadForm(WithDevice("Count = 1"), "TTestForm");
    EXPECT_EQ(form.ComponentCount(), 1);
  }
}

// The device form's resource: every value it must give, in order.
TEST(Form, DeviceFormResourceHoldsTheShippedValues) {
  std::string text = DeviceFormResourceText();
  ASSERT_FALSE(text.empty());
  TResourceObject form = ParseFormResource(text);
  std::vector<std::string> shown;
  shown.push_back(form.className + " " + form.name);
  for (const TResourceObject &c : form.children) {
    shown.push_back(c.className + " " + c.name);
    EXPECT_TRUE(c.children.empty());
    for (const TResourceProperty &p : c.properties)
      shown.push_back(c.name + "." + p.name + " = " + ShowValue(p.value));
  }
  EXPECT_TRUE(form.properties.empty());
  EXPECT_EQ(shown, (std::vector<std::string>{
                       "TCommDrv CommDrv",
                       "TnrUsb vaRaz1",
                       "vaRaz1.Options = [uoShowHost, uoShowHub, uoShowPort]",
                       "vaRaz1.DeviceIndex = 0",
                       "TvaVevi vaVevi1",
                       "vaVevi1.OnFatalError = vaVevi1FatalError",
                       "vaVevi1.Active = false",
                       "vaVevi1.BaudRate = 19200",
                       "vaVevi1.Parity = pNone",
                       "vaVevi1.StopBits = sbOne",
                       "vaVevi1.ByteSize = 8",
                       "vaVevi1.ComPortNo = 1",
                       "vaVevi1.ComPort = cpCOM1",
                       "vaVevi1.EventListOnLine = false",
                       "vaVevi1.TraceStates = [tsRxChar]",
                       "vaVevi1.StreamProtocol = spNone",
                       "vaVevi1.BufferInSize = 65535",
                       "vaVevi1.BufferOutSize = 65535",
                       "vaVevi1.TimeoutRead = 5000",
                       "vaVevi1.TimeoutWrite = 1000",
                       "vaVevi1.TerminalUsage = tuBoth",
                       "vaVevi1.TerminalEcho = false",
                       "vaVevi1.OnCommError = vaVevi1CommError",
                       "TnrLogFile nrLogFile1",
                       "nrLogFile1.SizeLimit = 2048000",
                       "nrLogFile1.FileName = \"sat.log\"",
                       "nrLogFile1.DetailLevel = dlDetail",
                       "nrLogFile1.Options = [loSafeMode, loAutoFileName, loDate, loTime, "
                       "loDebugOut]",
                   }));
}
