// SPDX-License-Identifier: MIT
// Small darknet models and tar packages written on the fly for the loader
// tests, so they run without the shared models.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel::testing {

// A two-class YOLO network on a 32 × 32 input: conv 3×3/2 with batch norm
// (4·4 + 4·3·9 = 124 floats), conv 1×1 to 7 channels (7 + 7·4 = 35), yolo.
inline constexpr std::string_view kTinyYoloCfg =
    "[net]\nwidth=32\nheight=32\nchannels=3\n\n"
    "[convolutional]\nfilters=4\nsize=3\nstride=2\npad=1\nbatch_normalize=1\nactivation=leaky\n\n"
    "[convolutional]\nfilters=7\nsize=1\nstride=1\npad=1\nactivation=linear\n\n"
    "[yolo]\nmask=0\nanchors=10,14, 23,27\nclasses=2\nnum=2\nthresh = .5\nignore_thresh=.7\n";
inline constexpr std::size_t kTinyYoloFloats = 124 + 35;
inline constexpr std::string_view kTinyYoloLabels = "person\nbicycle\n";

// The same network without its detection layer: a classifier.
inline const std::string kTinyClassifierCfg =
    std::string(kTinyYoloCfg.substr(0, kTinyYoloCfg.find("[yolo]"))) + "[avgpool]\n\n[softmax]\n";

// A darknet weights file: version 0.2.0, a 64-bit seen counter, then
// `floats` small values.
inline std::string darknetWeights(std::size_t floats) {
  std::string out(20, '\0');
  out[4] = 2;
  for (std::size_t i = 0; i < floats; ++i) {
    const float value = 0.01f * static_cast<float>(i % 17) - 0.05f;
    out.append(reinterpret_cast<const char*>(&value), 4);
  }
  return out;
}

// Sets the ustar header checksum (bytes 148–155) of the header at `at`.
inline void sealTarHeader(std::string& archive, std::size_t at = 0) {
  std::memset(archive.data() + at + 148, ' ', 8);
  unsigned sum = 0;
  for (std::size_t i = 0; i < 512; ++i) sum += static_cast<unsigned char>(archive[at + i]);
  std::snprintf(archive.data() + at + 148, 8, "%06o", sum);
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
    std::snprintf(header.data() + 100, 24, "%07o%c%07o%c%07o", 0644u, 0, 0u, 0, 0u);
    std::snprintf(header.data() + 124, 24, "%011zo%c%011o", file.content.size(), 0, 0u);
    header[156] = '0';
    std::memcpy(header.data() + 257,
                "ustar\0"
                "00",
                8);
    sealTarHeader(header);
    out += header + file.content;
    out.append((512 - file.content.size() % 512) % 512, '\0');
  }
  return out.append(1024, '\0');
}

// What `action` throws as E; a test failure (and "") when it throws nothing.
template <typename E = std::exception, typename F>
std::string thrownMessage(F&& action) {
  try {
    action();
  } catch (const E& error) {
    return error.what();
  }
  ADD_FAILURE() << "no exception";
  return {};
}

}  // namespace kestrel::testing
