// libFuzzer target: any bytes as a form resource. The reader must answer
// every input with a form or an EResourceError whose line lies inside the
// input, never crash, hang or read past the input; and a form read from the
// same bytes must fail exactly where the reader does, or build (with the
// test components of form_fixture.h, which take a property of every kind).
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "form_fixture.h"
#include "rtformres.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char *>(data), size);
  int lines = 1;
  for (char c : text) lines += c == '\n';

  int parseLine = 0;  // 0: parsed
  try {
    TResourceObject form = ParseFormResource(text);
    (void)form;
  } catch (const EResourceError &e) {
    if (e.Line() < 1 || e.Line() > lines || e.Reason().empty()) __builtin_trap();
    parseLine = e.Line();
  }

  TTestDevice::Reset();
  try {
    TTestForm form(nullptr);
    form.ReadForm(text, "TTestForm", "FUZZ");
    if (parseLine != 0) __builtin_trap();  // the form read what the reader refused
  } catch (const EResourceError &e) {
    if (parseLine != 0 && e.Line() != parseLine) __builtin_trap();
    if (e.Line() < 0 || e.Line() > lines) __builtin_trap();
  }
  if (TTestDevice::Alive() != 0) __builtin_trap();  // a component outlived its form
  return 0;
}
