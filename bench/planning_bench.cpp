// SPDX-License-Identifier: MIT
// Cost of planning one typical photo: a 24 MP frame with a runner, a partner
// and a bystander (the bystander multiplies the candidate origins).
#include <benchmark/benchmark.h>

#include <optional>
#include <vector>

#include "core/planning/crop_planner.h"

namespace {

using kestrel::CropPlanner;
using kestrel::JPEGInfo;
using kestrel::Person;

void planTypicalPhoto(benchmark::State& state, bool withBystander) {
  const CropPlanner planner{0.15, 4000, 18'000'000, 0.35};
  const JPEGInfo info{6000, 4000, 16, 16, 2};
  std::vector<Person> people = {{{0.30, 0.30, 0.10, 0.50}, 0.9}, {{0.55, 0.31, 0.10, 0.49}, 0.8}};
  if (withBystander) people.push_back({{0.05, 0.5, 0.04, 0.2}, 0.6});
  for (auto _ : state) {
    benchmark::DoNotOptimize(planner.plan(info, 6, people, false, std::nullopt));
  }
}

void BM_PlanPair(benchmark::State& state) { planTypicalPhoto(state, false); }
void BM_PlanPairWithBystander(benchmark::State& state) { planTypicalPhoto(state, true); }

BENCHMARK(BM_PlanPair);
BENCHMARK(BM_PlanPairWithBystander);

}  // namespace

BENCHMARK_MAIN();
