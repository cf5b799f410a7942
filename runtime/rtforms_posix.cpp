// Form resources where modules carry no resources: there are none.
#include "rtforms.h"

std::optional<std::string_view> FindModuleResource(std::string_view) { return std::nullopt; }
