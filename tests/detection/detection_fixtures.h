// SPDX-License-Identifier: MIT
// Small darknet models and tar packages written on the fly for the loader
// tests, so they run without the shared models.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel::testing {

// A two-class YOLO network on a 32 × 32 input: conv 3×3/2 with batch norm
// (4·4 + 4·3·9 = 124 floats), conv 1×1 to 7 channels (7 + 7·4 = 35), yolo.
inline constexpr std::string_view kTinyYoloCfg = R"([net]
width=32
height=32
channels=3

[convolutional]
filters=4
size=3
stride=2
pad=1
batch_normalize=1
activation=leaky

[convolutional]
filters=7
size=1
stride=1
pad=1
activation=linear

[yolo]
mask=0
anchors=10,14, 23,27
classes=2
num=2
thresh = .5
ignore_thresh=.7
)";
inline constexpr std::size_t kTinyYoloFloats = 124 + 35;
inline constexpr std::string_view kTinyYoloLabels = "person\nbicycle\n";

// The same network without its detection layer: a classifier.
inline constexpr std::string_view kTinyClassifierCfg = R"([net]
width=32
height=32
channels=3

[convolutional]
filters=4
size=3
stride=2
pad=1
batch_normalize=1
activation=leaky

[convolutional]
filters=7
size=1
stride=1
pad=1
activation=linear

[avgpool]

[softmax]
)";

// A darknet weights file: version 0.2.0, a 64-bit seen counter, then
// `floats` small values.
inline std::string darknetWeights(std::size_t floats) {
  std::string out(20, '\0');
  out[4] = 2;
  for (std::size_t i = 0; i < floats; ++i) {
    const float value = 0.01f * static_cast<float>(i % 17) - 0.05f;
    char bytes[4];
    std::memcpy(bytes, &value, 4);
    out.append(bytes, 4);
  }
  return out;
}

struct TarFile {
  std::string name;
  std::string content;
};

// An uncompressed ustar archive, as `tar -cf` writes it.
inline std::string tarArchive(const std::vector<TarFile>& files) {
  std::string out;
  for (const TarFile& file : files) {
    std::string header(512, '\0');
    std::memcpy(header.data(), file.name.data(), std::min<std::size_t>(file.name.size(), 100));
    std::snprintf(header.data() + 100, 8, "%07o", 0644u);
    std::snprintf(header.data() + 108, 8, "%07o", 0u);
    std::snprintf(header.data() + 116, 8, "%07o", 0u);
    std::snprintf(header.data() + 124, 12, "%011zo", file.content.size());
    std::snprintf(header.data() + 136, 12, "%011o", 0u);
    header[156] = '0';
    std::memcpy(header.data() + 257,
                "ustar\0"
                "00",
                8);
    std::memset(header.data() + 148, ' ', 8);
    unsigned sum = 0;
    for (const char c : header) sum += static_cast<unsigned char>(c);
    std::snprintf(header.data() + 148, 8, "%06o", sum);
    out += header;
    out += file.content;
    out.append((512 - file.content.size() % 512) % 512, '\0');
  }
  out.append(1024, '\0');
  return out;
}

}  // namespace kestrel::testing
