#include "timecode/station.h"
#include "timecode/timecode.h"

#include <gtest/gtest.h>
