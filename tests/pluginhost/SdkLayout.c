/* The record layout, checked by a C compiler. */
#include "SdkLayout.h"
