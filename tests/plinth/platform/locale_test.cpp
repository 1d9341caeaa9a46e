#include <gtest/gtest.h>

#include "plinth/platform/platform.h"
