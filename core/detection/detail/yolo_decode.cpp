// SPDX-License-Identifier: MIT
#include "core/detection/detail/yolo_decode.h"

#include <algorithm>
#include <cmath>
#include <map>

#include "core/detection/detail/opencv_support.h"

namespace kestrel::yolo {

Letterbox letterboxFor(int imageWidth, int imageHeight, int networkSide) {
  constexpr int kGrid = 32;
  const int longSide = std::max(kGrid, (networkSide + kGrid - 1) / kGrid * kGrid);
  const int shortSide = (2 * longSide + 3 * kGrid - 1) / (3 * kGrid) * kGrid;
  const double squareLimit = std::sqrt(static_cast<double>(longSide) / shortSide);
  const double aspect = static_cast<double>(imageWidth) / imageHeight;
  Letterbox box;
  if (aspect >= squareLimit) {
    box.inputWidth = longSide;
    box.inputHeight = shortSide;
  } else if (aspect <= 1 / squareLimit) {
    box.inputWidth = shortSide;
    box.inputHeight = longSide;
  } else {
    box.inputWidth = box.inputHeight = longSide;
  }
  const double scale = std::min(static_cast<double>(box.inputWidth) / imageWidth,
                                static_cast<double>(box.inputHeight) / imageHeight);
  box.scaledWidth =
      std::clamp(static_cast<int>(std::lround(imageWidth * scale)), 1, box.inputWidth);
  box.scaledHeight =
      std::clamp(static_cast<int>(std::lround(imageHeight * scale)), 1, box.inputHeight);
  box.left = (box.inputWidth - box.scaledWidth) / 2;
  box.top = (box.inputHeight - box.scaledHeight) / 2;
  return box;
}

std::vector<ObjectObservation> observations(std::span<const RegionRows> layers,
                                            const Letterbox& letterbox,
                                            const std::vector<std::string>& labels) {
  const int classes = static_cast<int>(labels.size());

  // Boxes in image pixels of the scaled image; IoU does not depend on the unit.
  std::vector<const float*> rows;
  std::vector<cv::Rect2d> boxes;
  for (const RegionRows& layer : layers) {
    if (layer.columns != 5 + classes) {
      throw std::runtime_error("检测层输出有 " + std::to_string(layer.columns) + " 列，" +
                               std::to_string(classes) + " 个类别应有 " +
                               std::to_string(5 + classes) + " 列");
    }
    for (int r = 0; r < layer.rows; ++r) {
      const float* row = layer.data + static_cast<std::ptrdiff_t>(r) * layer.columns;
      const bool scored = std::any_of(row + 5, row + layer.columns, [](float s) { return s > 0; });
      if (!scored) continue;
      const double w = double{row[2]} * letterbox.inputWidth;
      const double h = double{row[3]} * letterbox.inputHeight;
      const double x = double{row[0]} * letterbox.inputWidth - w / 2 - letterbox.left;
      const double y = double{row[1]} * letterbox.inputHeight - h / 2 - letterbox.top;
      rows.push_back(row);
      boxes.emplace_back(x, y, w, h);
    }
  }

  std::map<std::size_t, std::vector<std::pair<int, float>>> kept;  // candidate → (class, score)
  std::vector<cv::Rect2d> classBoxes;
  std::vector<float> classScores;
  std::vector<std::size_t> classCandidates;
  for (int c = 0; c < classes; ++c) {
    classBoxes.clear();
    classScores.clear();
    classCandidates.clear();
    for (std::size_t i = 0; i < rows.size(); ++i) {
      const float score = rows[i][5 + c];
      if (score > 0) {
        classBoxes.push_back(boxes[i]);
        classScores.push_back(score);
        classCandidates.push_back(i);
      }
    }
    if (classCandidates.empty()) continue;
    std::vector<int> survivors;
    detail::withOpenCVErrors(
        [&] { cv::dnn::NMSBoxes(classBoxes, classScores, 0.0f, kSuppressionOverlap, survivors); });
    for (const int s : survivors) {
      kept[classCandidates[static_cast<std::size_t>(s)]].emplace_back(
          c, classScores[static_cast<std::size_t>(s)]);
    }
  }

  std::vector<ObjectObservation> result;
  result.reserve(kept.size());
  for (auto& [candidate, labelScores] : kept) {
    std::stable_sort(labelScores.begin(), labelScores.end(),
                     [](const auto& a, const auto& b) { return a.second > b.second; });
    ObjectObservation observation;
    const cv::Rect2d& b = boxes[candidate];
    observation.boundingBox = {b.x / letterbox.scaledWidth, b.y / letterbox.scaledHeight,
                               b.width / letterbox.scaledWidth, b.height / letterbox.scaledHeight};
    for (const auto& [c, score] : labelScores) {
      observation.labels.push_back({labels[static_cast<std::size_t>(c)], score});
    }
    observation.confidence = observation.labels.front().confidence;
    result.push_back(std::move(observation));
  }
  std::stable_sort(result.begin(), result.end(),
                   [](const auto& a, const auto& b) { return a.confidence > b.confidence; });
  return result;
}

}  // namespace kestrel::yolo
