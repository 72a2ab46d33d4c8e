// The command "Quistmoor": gathers the host's stored log lines into
// consolelog.txt, unless the Python logger's lines hold the end marker.
#pragma once

#include "brannoc/array.h"
#include "brannoc/plugin.h"
#include "brannoc/string.h"

namespace microsdk {

using StringArray = brannoc::BaseArray<brannoc::String>;

class Quistmoor : public brannoc::CommandData {
 public:
  brannoc::Bool RunCommand(brannoc::BaseDocument* doc, brannoc::GeDialog* parentManager) override;
};

// Registers the command with the host and prints the start-up lines.
void RegisterQuistmoor();

}  // namespace microsdk
