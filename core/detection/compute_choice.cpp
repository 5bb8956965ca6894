// SPDX-License-Identifier: MIT
#include "core/detection/compute_choice.h"

namespace kestrel {

std::string_view rawValue(ComputeChoice choice) {
  switch (choice) {
    case ComputeChoice::all:
      return "all";
    case ComputeChoice::cpu:
      return "cpu";
    case ComputeChoice::cpuGPU:
      return "cpu-gpu";
    case ComputeChoice::cpuNeural:
      return "cpu-neural";
  }
  return "all";
}

std::optional<ComputeChoice> computeChoiceFromRaw(std::string_view text) {
  for (ComputeChoice choice : allComputeChoices) {
    if (rawValue(choice) == text) return choice;
  }
  return std::nullopt;
}

}  // namespace kestrel
