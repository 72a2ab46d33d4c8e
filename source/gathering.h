// Gathering the lines a logger stores into the run's StringArray.
#pragma once

#include "Quistmoor.h"
#include "brannoc/logger.h"

namespace microsdk {

// The body of the line callback: shares the line's text as the array's new
// last element; the out-of-memory error, array unchanged, when it cannot grow.
brannoc::Result<void> AppendLineText(StringArray& lines, const brannoc::LogLineRecord& record);

// Fills `lines` with the lines of the logger's last line-storing type,
// emptying it before each such type. A logger without one leaves it as it
// was. A failed read is shown in the host's message box and answered.
brannoc::Result<void> GatherLines(const brannoc::Logger& logger, StringArray& lines);

}  // namespace microsdk
