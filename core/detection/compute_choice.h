// SPDX-License-Identifier: MIT
// ComputeChoice: which processors the detection model may run on.
#pragma once

#include <array>
#include <optional>
#include <string_view>

namespace kestrel {

enum class ComputeChoice { all, cpu, cpuGPU, cpuNeural };

inline constexpr std::array<ComputeChoice, 4> allComputeChoices = {
    ComputeChoice::all, ComputeChoice::cpu, ComputeChoice::cpuGPU, ComputeChoice::cpuNeural};

std::string_view rawValue(ComputeChoice choice);
// Accepts exactly "all", "cpu", "cpu-gpu" and "cpu-neural" (case-sensitive).
std::optional<ComputeChoice> computeChoiceFromRaw(std::string_view text);

}  // namespace kestrel
