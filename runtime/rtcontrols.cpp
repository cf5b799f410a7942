#include "rtcontrols.h"
