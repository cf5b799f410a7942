#include "rtexcept.h"

void AbstractError() { throw EAbstractError(); }
