// SPDX-License-Identifier: MIT
// A fixed, synthetic run summary for the report golden tests.
#pragma once

#include "core/run/run_summary.h"

namespace kestrel::testing {

inline RunSummary syntheticRun() {
  BatchConfiguration config("/photos/卡 A", "/results");
  config.workers = 2;
  config.limit = 40;
  config.eventName = "城市半程";
  config.eventDate = "20260405";
  RunSummary s(config);
  s.createdAt = std::chrono::system_clock::from_time_t(1775377815);
  s.modelPath = "/models/YOLOv3TinyFP16.mlmodelc";
  s.machine = "Test CPU @ 2.00GHz; 24 GiB RAM";
  s.os = "Debian GNU/Linux 12 (bookworm) 6.1.0";
  s.runDirectory = "/results/城市半程-20260405-卡1";
  s.discovered = 5;
  s.processed = 4;
  s.counts.cropped = 1;
  s.counts.unchanged = 1;
  s.counts.filtered = 1;
  s.counts.failed = 1;
  s.cancelled = true;
  s.scanSeconds = 0.125;
  s.modelStartupSeconds = 0.5;
  s.processingSeconds = 2.0;
  s.reportSeconds = 0.25;
  s.firstOutputSeconds = 0.875;
  s.p50FileMilliseconds = 410.5;
  s.p95FileMilliseconds = 512.25;
  s.inputBytes = 20'000'000;
  s.outputBytes = 13'000'000;

  FileResult cropped;
  cropped.index = 0;
  cropped.relativePath = "A/IMG_0001.JPG";
  cropped.inputBytes = 5'000'000;
  cropped.outputBytes = 4'000'000;
  cropped.info = JPEGInfo{6000, 4000, 16, 16, 2};
  cropped.orientation = 1;
  CropDecision decision;
  decision.crop = PixelRect{384, 64, 5220, 3480};
  decision.reason = "结合人脸与全身位置居中，保留头顶与手脚空间";
  decision.people = {Person{{0.45, 0.2, 0.1, 0.6}, 0.9}};
  decision.protectedRegion = Box{0.44, 0.176, 0.12, 0.648};
  decision.compositionGain = 0.2054;
  decision.scene = "single";
  decision.visualAnchorX = 0.5;
  decision.pairStrength = 0;
  cropped.decision = decision;
  SharpnessAssessment sharp;
  sharp.verdict = SharpnessVerdict::sharp;
  sharp.regionKind = "face";
  sharp.region = Box{0.48, 0.22, 0.04, 0.05};
  sharp.metrics = {12.5, 40.25, 0.310559, 30.125};
  sharp.sampleWidth = 160;
  sharp.sampleHeight = 179;
  sharp.reason = "主体局部细节通过清晰度检查";
  sharp.subject = Box{0.45, 0.2, 0.1, 0.6};
  sharp.face = Box{0.47, 0.21, 0.06, 0.07};
  cropped.sharpness = sharp;
  cropped.timings = StageTimes{0.01, 0.002, 0.05, 0.03, 0.004, 0.0001, 0.06, 0.02};
  cropped.elapsedSeconds = 0.1761;

  FileResult copied;
  copied.index = 1;
  copied.relativePath = "say \"cheese\", <&> too\nsecond line.jpg";
  copied.inputBytes = 5'000'000;
  copied.outputBytes = 5'000'000;
  copied.info = JPEGInfo{5760, 4704, 16, 16, 2};
  copied.orientation = 6;
  CropDecision baseline;
  baseline.reason = "原样复制基线（未运行 AI）";
  copied.decision = baseline;
  copied.elapsedSeconds = 0.02;

  FileResult filtered;
  filtered.index = 2;
  filtered.relativePath = "blur.jpg";
  filtered.inputBytes = 5'000'000;
  filtered.outputBytes = 4'000'000;
  filtered.info = JPEGInfo{6000, 4000, 16, 16, 2};
  filtered.filteredReason = "所有可评估的主要跑者均明显模糊，单独过滤存放";
  filtered.reviewReason = "也有复核理由";
  SharpnessAssessment blurred = SharpnessAssessment::review("主体细节的高频与边缘响应均偏低");
  blurred.verdict = SharpnessVerdict::blurred;
  filtered.sharpness = blurred;
  filtered.elapsedSeconds = 0.3;

  FileResult failed;
  failed.index = 3;
  failed.relativePath = "broken.jpg";
  failed.inputBytes = 5'000'000;
  failed.error = "Not a JPEG file: starts with 0x89 0x50";
  failed.elapsedSeconds = 0.001;

  s.files = {cropped, copied, filtered, failed};
  return s;
}

}  // namespace kestrel::testing
