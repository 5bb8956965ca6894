// SPDX-License-Identifier: MIT
#include "core/detection/detail/darknet_config.h"

#include <cstring>
#include <map>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace kestrel::darknet {

namespace {

struct Section {
  std::string type;
  int line = 0;
  std::map<std::string, std::string> values;
};

struct Shape {
  std::int64_t channels = 0;
  std::int64_t height = 0;
  std::int64_t width = 0;
};

// OpenCV's importer drops every character outside '!'…'z' from a line
// before reading it, so "filters = 16" and "filters=16" are the same entry.
std::string squeezed(std::string_view line) {
  std::string out;
  for (const char c : line) {
    if (c > ' ' && c <= 'z') out += c;
  }
  return out;
}

[[noreturn]] void fail(const Section& section, const std::string& what) {
  throw std::runtime_error("网络描述第 " + std::to_string(section.line) + " 行 [" + section.type +
                           "]：" + what);
}

std::vector<Section> parse(std::string_view cfg, Section& net) {
  std::vector<Section> layers;
  Section* current = nullptr;
  int lineNumber = 0;
  std::size_t start = 0;
  while (start <= cfg.size()) {
    std::size_t end = cfg.find('\n', start);
    if (end == std::string_view::npos) end = cfg.size();
    ++lineNumber;
    const std::string line = squeezed(cfg.substr(start, end - start));
    start = end + 1;
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    if (line[0] == '[') {
      const std::size_t close = line.find(']');
      if (close == std::string::npos || close < 2) {
        throw std::runtime_error("网络描述第 " + std::to_string(lineNumber) +
                                 " 行：无法识别的段落 " + line);
      }
      const std::string type = line.substr(1, close - 1);
      if (type == "net" || type == "network") {
        net.type = type;
        net.line = lineNumber;
        current = &net;
      } else {
        layers.push_back(Section{type, lineNumber, {}});
        current = &layers.back();
      }
      continue;
    }
    const std::size_t equals = line.find('=');
    if (equals == std::string::npos || current == nullptr) {
      throw std::runtime_error("网络描述第 " + std::to_string(lineNumber) + " 行：无法识别的内容 " +
                               line);
    }
    const std::string key = line.substr(0, equals);
    const std::string value = line.substr(equals + 1);
    if (!key.empty() && !value.empty()) current->values[key] = value;
  }
  return layers;
}

// Read the way OpenCV reads it (stream extraction), so "0.5" as an int is 0.
template <typename T>
T param(const Section& section, const std::string& key, T fallback) {
  const auto it = section.values.find(key);
  if (it == section.values.end()) return fallback;
  std::istringstream in(it->second);
  T value = fallback;
  in >> value;
  return value;
}

std::vector<int> numbers(const std::string& text) {
  std::vector<int> out;
  std::istringstream in(text);
  for (std::string item; std::getline(in, item, ',');) {
    std::istringstream one(item);
    int value = 0;
    if (!(one >> value)) throw std::runtime_error("无法读取数字列表 " + text);
    out.push_back(value);
  }
  return out;
}

// Limits that keep every size and count below in 64 bits, far above any
// real network.
constexpr std::int64_t kMaximumValue = 1 << 20;
constexpr std::int64_t kMaximumKernel = 64;
constexpr std::int64_t kMaximumTensor = std::int64_t{1} << 40;
constexpr std::uint64_t kMaximumParameters = std::uint64_t{1} << 50;

std::int64_t positive(const Section& section, const std::string& key, std::int64_t fallback,
                      std::int64_t limit = kMaximumValue) {
  const auto value = param<std::int64_t>(section, key, fallback);
  if (value <= 0) fail(section, key + " 必须是正数");
  if (value > limit) fail(section, key + " 过大");
  return value;
}

}  // namespace

NetworkSummary summarize(std::string_view cfg) {
  Section net{"net", 0, {}};
  const std::vector<Section> layers = parse(cfg, net);
  if (net.line == 0) throw std::runtime_error("网络描述缺少 [net] 段落");
  if (layers.empty()) throw std::runtime_error("网络描述没有任何层");

  constexpr std::int64_t kMaximumInput = 4096;
  Shape shape{positive(net, "channels", 3), positive(net, "height", 416, kMaximumInput),
              positive(net, "width", 416, kMaximumInput)};
  std::vector<Shape> outputs;
  NetworkSummary summary;
  summary.inputWidth = static_cast<int>(shape.width);
  summary.inputHeight = static_cast<int>(shape.height);
  std::uint64_t count = 0;

  for (std::size_t index = 0; index < layers.size(); ++index) {
    const Section& layer = layers[index];
    const std::string& type = layer.type;
    if (type == "convolutional") {
      const std::int64_t size = positive(layer, "size", -1, kMaximumKernel);
      const std::int64_t filters = positive(layer, "filters", -1);
      const std::int64_t stride = positive(layer, "stride", 1);
      const std::int64_t groups = positive(layer, "groups", 1);
      std::int64_t padding = param<std::int64_t>(layer, "padding", 0);
      if (param<int>(layer, "pad", 0) != 0) padding = size / 2;
      if (padding < 0 || padding > kMaximumKernel) fail(layer, "padding 超出范围");
      if (param<int>(layer, "flipped", 0) == 1) fail(layer, "不支持 flipped=1");
      if (shape.channels % groups != 0) fail(layer, "输入通道数不能被 groups 整除");
      const bool batchNormalize = param<int>(layer, "batch_normalize", 0) == 1;
      count += static_cast<std::uint64_t>(filters * (batchNormalize ? 4 : 1));
      count += static_cast<std::uint64_t>(filters * (shape.channels / groups) * size * size);
      shape = {filters, (shape.height - size + 2 * padding) / stride + 1,
               (shape.width - size + 2 * padding) / stride + 1};
    } else if (type == "connected") {
      const std::int64_t output = positive(layer, "output", 1);
      const bool batchNormalize = param<int>(layer, "batch_normalize", 0) == 1;
      const std::int64_t inputs = shape.channels * shape.height * shape.width;
      count += static_cast<std::uint64_t>(output * (batchNormalize ? 4 : 1) + inputs * output);
      shape = {output, 1, 1};
    } else if (type == "maxpool") {
      const std::int64_t size = positive(layer, "size", 2, kMaximumKernel);
      const std::int64_t stride = positive(layer, "stride", 2);
      const std::int64_t padding = param<std::int64_t>(layer, "padding", size - 1);
      if (padding < 0 || padding > kMaximumKernel) fail(layer, "padding 超出范围");
      shape.height = (shape.height - size + padding) / stride + 1;
      shape.width = (shape.width - size + padding) / stride + 1;
    } else if (type == "avgpool") {
      shape.height = shape.width = 1;
    } else if (type == "route") {
      const auto it = layer.values.find("layers");
      if (it == layer.values.end()) fail(layer, "缺少 layers");
      // With groups, only part group_id of each routed layer's channels passes.
      const std::int64_t groups = positive(layer, "groups", 1);
      const int groupId = param<int>(layer, "group_id", 0);
      if (groupId < 0 || groupId >= groups) fail(layer, "group_id 超出范围");
      Shape routed{0, 0, 0};
      for (int from : numbers(it->second)) {
        if (from < 0) from += static_cast<int>(index);
        if (from < 0 || static_cast<std::size_t>(from) >= index)
          fail(layer, "layers 指向不存在的层");
        Shape source = outputs[static_cast<std::size_t>(from)];
        if (source.channels % groups != 0) fail(layer, "通道数不能被 groups 整除");
        source.channels /= groups;
        if (routed.channels == 0) {
          routed = source;
        } else {
          if (source.height != routed.height || source.width != routed.width) {
            fail(layer, "拼接的层尺寸不同");
          }
          routed.channels += source.channels;
        }
      }
      shape = routed;
    } else if (type == "shortcut" || type == "scale_channels") {
      const auto it = layer.values.find("from");
      if (it == layer.values.end()) fail(layer, "缺少 from");
      int from = std::atoi(it->second.c_str());
      if (from < 0) from += static_cast<int>(index);
      if (from < 0 || static_cast<std::size_t>(from) >= index) fail(layer, "from 指向不存在的层");
      if (type == "scale_channels") shape = outputs[static_cast<std::size_t>(from)];
    } else if (type == "upsample") {
      const std::int64_t stride = positive(layer, "stride", 1);
      shape.height *= stride;
      shape.width *= stride;
    } else if (type == "reorg") {
      const std::int64_t stride = positive(layer, "stride", 2);
      shape = {shape.channels * stride * stride, shape.height / stride, shape.width / stride};
    } else if (type == "yolo" || type == "region") {
      const int classes = param<int>(layer, "classes", -1);
      if (classes <= 0) fail(layer, "classes 必须是正数");
      if (summary.classes != 0 && summary.classes != classes)
        fail(layer, "各检测层的 classes 不一致");
      summary.classes = classes;
      summary.detectsObjects = true;
    } else if (type == "dropout" || type == "cost" || type == "softmax") {
      // shape unchanged
    } else {
      fail(layer, "不支持的层类型");
    }
    if (shape.channels <= 0 || shape.height <= 0 || shape.width <= 0) fail(layer, "输出尺寸为零");
    if (shape.channels > kMaximumValue || shape.height > kMaximumValue ||
        shape.width > kMaximumValue ||
        shape.channels * shape.height * shape.width > kMaximumTensor ||
        count > kMaximumParameters) {
      fail(layer, "网络过大");
    }
    outputs.push_back(shape);
  }
  summary.parameterCount = count;
  return summary;
}

std::size_t weightsHeaderSize(std::string_view weights) {
  if (weights.size() < 12) throw std::runtime_error("模型权重文件过短，不是 darknet 权重");
  std::int32_t major = 0;
  std::int32_t minor = 0;
  std::memcpy(&major, weights.data(), 4);
  std::memcpy(&minor, weights.data() + 4, 4);
  if (major > 1000 || minor > 1000) throw std::runtime_error("不支持转置存放的 darknet 权重");
  // In 64 bits: the version fields are file data, any value at all.
  const std::int64_t version = std::int64_t{major} * 10 + minor;
  const std::size_t size = version >= 2 ? 20 : 16;
  if (weights.size() < size) throw std::runtime_error("模型权重文件过短，不是 darknet 权重");
  return size;
}

void checkWeights(const NetworkSummary& network, std::string_view weights,
                  const std::string& name) {
  const std::size_t header = weightsHeaderSize(weights);
  const std::uint64_t needed = header + network.parameterCount * 4;
  if (weights.size() != needed) {
    throw std::runtime_error("模型权重与网络描述不符：" + name + " 有 " +
                             std::to_string(weights.size()) + " 字节，网络需要 " +
                             std::to_string(needed) + " 字节" +
                             (weights.size() < needed ? "（文件不完整）" : ""));
  }
}

std::string withDetectionDefaults(std::string_view cfg, float scoreCutoff) {
  std::ostringstream cutoff;
  cutoff << scoreCutoff;
  const std::string extra = "thresh=" + cutoff.str() + "\nnms_threshold=0\n";

  std::string out;
  out.reserve(cfg.size() + 256);
  bool inDetectionLayer = false;
  std::size_t start = 0;
  while (start < cfg.size()) {
    std::size_t end = cfg.find('\n', start);
    if (end == std::string_view::npos) end = cfg.size();
    const std::string_view line = cfg.substr(start, end - start);
    start = end + 1;
    const std::string key = squeezed(line.substr(0, line.find('=')));
    if (!key.empty() && key[0] == '[') {
      if (inDetectionLayer) out += extra;
      inDetectionLayer = key.rfind("[yolo]", 0) == 0 || key.rfind("[region]", 0) == 0;
    } else if (inDetectionLayer && line.find('=') != std::string_view::npos &&
               (key == "thresh" || key == "nms_threshold")) {
      continue;  // replaced at the end of the section
    }
    out.append(line);
    out += '\n';
  }
  if (inDetectionLayer) out += extra;
  return out;
}

}  // namespace kestrel::darknet
