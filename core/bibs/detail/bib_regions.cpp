// SPDX-License-Identifier: MIT
#include "core/bibs/detail/bib_regions.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <optional>

namespace kestrel::bibs {

namespace {

// Shares of the person box searched for the bib: below the head, above the
// hips, without the arms at the sides.
constexpr double kTorsoTop = 0.18;
constexpr double kTorsoBottom = 0.62;
constexpr double kTorsoSide = 0.10;

// Rim kept around each stroke for the recogniser, as a share of the digit height.
constexpr double kRim = 0.06;

struct Mark {
  int x0, y0, x1, y1;  // inclusive bounds
  int pixels;
  int label;  // its value in the label image
  int width() const { return x1 - x0 + 1; }
  int height() const { return y1 - y0 + 1; }
  double centerY() const { return (y0 + y1) * 0.5; }
};

// The mean of each pixel's neighbourhood, a window of about two digit
// heights (clipped at the image's edges): running column sums slid down the
// image, and a running sum of them along each row.
std::vector<float> localMeans(const Gray& image, int window) {
  const int w = image.width, h = image.height;
  const int r = std::max(window / 2, 2);
  // 1 / (pixels of the clipped window along one axis) for each position.
  const auto reciprocals = [r](int size) {
    std::vector<float> out(static_cast<std::size_t>(size));
    for (int i = 0; i < size; ++i) {
      out[static_cast<std::size_t>(i)] =
          1.0f / static_cast<float>(std::min(i + r + 1, size) - std::max(i - r, 0));
    }
    return out;
  };
  const std::vector<float> perColumn = reciprocals(w), perRow = reciprocals(h);
  std::vector<std::int32_t> columns(static_cast<std::size_t>(w), 0);
  const auto addRow = [&](int y, int sign) {
    const std::uint8_t* row = image.pixels.data() + static_cast<std::ptrdiff_t>(y) * w;
    for (int x = 0; x < w; ++x) columns[static_cast<std::size_t>(x)] += sign * row[x];
  };
  for (int y = 0; y < std::min(r, h); ++y) addRow(y, 1);
  std::vector<float> means(image.pixels.size());
  for (int y = 0; y < h; ++y) {
    if (y + r < h) addRow(y + r, 1);
    if (y - r - 1 >= 0) addRow(y - r - 1, -1);
    std::int64_t sum = 0;
    for (int x = 0; x < std::min(r, w); ++x) sum += columns[static_cast<std::size_t>(x)];
    float* out = means.data() + static_cast<std::ptrdiff_t>(y) * w;
    const float rowShare = perRow[static_cast<std::size_t>(y)];
    for (int x = 0; x < w; ++x) {
      if (x + r < w) sum += columns[static_cast<std::size_t>(x + r)];
      if (x - r - 1 >= 0) sum -= columns[static_cast<std::size_t>(x - r - 1)];
      out[x] = static_cast<float>(sum) * perColumn[static_cast<std::size_t>(x)] * rowShare;
    }
  }
  return means;
}

// Pixels darker than their neighbourhood by a clear margin: the strokes of
// printed digits on paper.
std::vector<std::uint8_t> darkMask(const Gray& image, const std::vector<float>& means, double ratio,
                                   int margin) {
  std::vector<std::uint8_t> mask(image.pixels.size(), 0);
  const auto r = static_cast<float>(ratio);
  const auto m = static_cast<float>(margin);
  for (std::size_t i = 0; i < mask.size(); ++i) {
    const float value = image.pixels[i], mean = means[i];
    mask[i] = value < mean * r && mean - value > m;
  }
  return mask;
}

int find(std::vector<int>& parent, int i) {
  while (parent[static_cast<std::size_t>(i)] != i) {
    i = parent[static_cast<std::size_t>(i)] =
        parent[static_cast<std::size_t>(parent[static_cast<std::size_t>(i)])];
  }
  return i;
}

// Eight-connected components of the mask; `labels` receives each pixel's
// component number plus one (0: not dark). Runs of dark pixels along each
// row are joined with the runs they touch in the row above.
std::vector<Mark> components(const std::vector<std::uint8_t>& mask, int w, int h,
                             std::vector<int>& labels) {
  struct Run {
    int y, x0, x1;  // inclusive
  };
  std::vector<Run> runs;
  std::vector<int> parent;
  std::size_t above = 0, aboveEnd = 0;  // the previous row's runs
  for (int y = 0; y < h; ++y) {
    const std::uint8_t* row = mask.data() + static_cast<std::ptrdiff_t>(y) * w;
    const std::size_t rowStart = runs.size();
    for (int x = 0; x < w;) {
      if (row[x] == 0) {
        ++x;
        continue;
      }
      const int x0 = x;
      while (x < w && row[x] != 0) ++x;
      const int index = static_cast<int>(runs.size());
      runs.push_back({y, x0, x - 1});
      parent.push_back(index);
      // Runs above that touch this one, diagonals included.
      while (above < aboveEnd && runs[above].x1 < x0 - 1) ++above;
      for (std::size_t k = above; k < aboveEnd && runs[k].x0 <= x; ++k) {
        const int a = find(parent, static_cast<int>(k)), b = find(parent, index);
        if (a != b) parent[static_cast<std::size_t>(std::max(a, b))] = std::min(a, b);
      }
    }
    above = rowStart;
    aboveEnd = runs.size();
  }
  std::vector<Mark> marks;
  std::vector<int> markOf(runs.size(), -1);
  labels.assign(mask.size(), 0);
  for (std::size_t k = 0; k < runs.size(); ++k) {
    const Run& run = runs[k];
    const auto root = static_cast<std::size_t>(find(parent, static_cast<int>(k)));
    if (markOf[root] < 0) {
      markOf[root] = static_cast<int>(marks.size());
      marks.push_back(Mark{run.x0, run.y, run.x1, run.y, 0, static_cast<int>(marks.size()) + 1});
    }
    Mark& m = marks[static_cast<std::size_t>(markOf[root])];
    m.x0 = std::min(m.x0, run.x0), m.x1 = std::max(m.x1, run.x1);
    m.y1 = run.y;
    m.pixels += run.x1 - run.x0 + 1;
    std::fill_n(labels.begin() + static_cast<std::ptrdiff_t>(run.y) * w + run.x0,
                run.x1 - run.x0 + 1, m.label);
  }
  return marks;
}

bool digitShaped(const Mark& m, double digitHeight, int w, int h) {
  const double height = m.height(), width = m.width();
  if (height < 0.5 * digitHeight || height > 2.0 * digitHeight || height < 8) return false;
  if (width < 0.12 * height || width > 1.0 * height) return false;
  const double fill = m.pixels / (width * height);
  if (fill < 0.12 || fill > 0.85) return false;
  // A mark cut by the edge of the search region is not a whole digit.
  return m.x0 > 0 && m.y0 > 0 && m.x1 < w - 1 && m.y1 < h - 1;
}

// Neighbours in one line: similar height, centres within a quarter of a
// digit height (a bib turned by up to about 15°, as on a twisting runner),
// a digit-sized gap.
bool sameLine(const Mark& a, const Mark& b) {
  const double ha = a.height(), hb = b.height();
  const double tall = std::max(ha, hb);
  if (tall > 1.3 * std::min(ha, hb)) return false;
  if (std::abs(a.centerY() - b.centerY()) > 0.25 * tall) return false;
  const Mark& left = a.x0 <= b.x0 ? a : b;
  const Mark& right = a.x0 <= b.x0 ? b : a;
  const int gap = right.x0 - left.x1 - 1;
  return gap >= -0.05 * tall && gap <= 0.6 * tall;
}

// True when a dark mark of about the line's height stands just before or
// after the line without belonging to it: a digit the shape rules dropped
// (a "1" touching a fold, a broken stroke), so the line may be incomplete.
// Large dark areas (the shirt beyond the bib's edge) do not count.
bool hasLoneNeighbour(const std::vector<Mark>& all, const DigitLine& line) {
  const double h = line.markHeight;
  for (const Mark& m : all) {
    if (m.height() < 0.5 * h || m.height() > 1.4 * h) continue;
    const int overlapTop = std::max(m.y0, line.y);
    const int overlapBottom = std::min(m.y1, line.y + line.height - 1);
    if (overlapBottom - overlapTop + 1 < 0.6 * h) continue;
    const int gapLeft = line.x - m.x1 - 1;
    const int gapRight = m.x0 - (line.x + line.width);
    if ((gapLeft >= 0 && gapLeft <= 0.5 * h) || (gapRight >= 0 && gapRight <= 0.5 * h)) return true;
  }
  return false;
}

}  // namespace

Box torsoRegion(const Box& person) {
  return Box{person.x + person.width * kTorsoSide, person.y + person.height * kTorsoTop,
             person.width * (1 - 2 * kTorsoSide), person.height * (kTorsoBottom - kTorsoTop)};
}

Gray upright(const Gray& raw, int orientation) {
  const bool swap = EXIFOrientation::swapsAxes(orientation);
  Gray out;
  out.width = swap ? raw.height : raw.width;
  out.height = swap ? raw.width : raw.height;
  out.pixels.resize(raw.pixels.size());
  // Raw pixel coordinates of a display pixel's centre, through the box mapping.
  const auto rawOf = [&](double dx, double dy) {
    const Box p = EXIFOrientation::displayToRaw(
        Box{(dx + 0.5) / out.width, (dy + 0.5) / out.height, 0, 0}, orientation);
    return std::pair<double, double>{p.x * raw.width - 0.5, p.y * raw.height - 0.5};
  };
  const auto [ox, oy] = rawOf(0, 0);
  const auto [xx, xy] = rawOf(1, 0);
  const auto [yx, yy] = rawOf(0, 1);
  const int sxx = static_cast<int>(std::lround(xx - ox)),
            sxy = static_cast<int>(std::lround(xy - oy));
  const int syx = static_cast<int>(std::lround(yx - ox)),
            syy = static_cast<int>(std::lround(yy - oy));
  const int bx = static_cast<int>(std::lround(ox)), by = static_cast<int>(std::lround(oy));
  for (int y = 0; y < out.height; ++y) {
    for (int x = 0; x < out.width; ++x) {
      const int rx = bx + x * sxx + y * syx, ry = by + x * sxy + y * syy;
      out.pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(out.width) +
                 static_cast<std::size_t>(x)] = raw.at(rx, ry);
    }
  }
  return out;
}

Gray cropped(const Gray& image, int x, int y, int width, int height) {
  const int x0 = std::clamp(x, 0, image.width), y0 = std::clamp(y, 0, image.height);
  const int x1 = std::clamp(x + width, x0, image.width),
            y1 = std::clamp(y + height, y0, image.height);
  Gray out;
  out.width = x1 - x0;
  out.height = y1 - y0;
  out.pixels.reserve(static_cast<std::size_t>(out.width) * static_cast<std::size_t>(out.height));
  for (int row = y0; row < y1; ++row) {
    const auto begin = image.pixels.begin() + static_cast<std::ptrdiff_t>(row) * image.width;
    out.pixels.insert(out.pixels.end(), begin + x0, begin + x1);
  }
  return out;
}

Gray resized(const Gray& image, int width, int height) {
  Gray out;
  out.width = width;
  out.height = height;
  out.pixels.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
  const double sx = static_cast<double>(image.width) / width;
  const double sy = static_cast<double>(image.height) / height;
  for (int y = 0; y < height; ++y) {
    const double fy = std::clamp((y + 0.5) * sy - 0.5, 0.0, image.height - 1.0);
    const int y0 = static_cast<int>(fy), y1 = std::min(y0 + 1, image.height - 1);
    const double wy = fy - y0;
    for (int x = 0; x < width; ++x) {
      const double fx = std::clamp((x + 0.5) * sx - 0.5, 0.0, image.width - 1.0);
      const int x0 = static_cast<int>(fx), x1 = std::min(x0 + 1, image.width - 1);
      const double wx = fx - x0;
      const double top = image.at(x0, y0) * (1 - wx) + image.at(x1, y0) * wx;
      const double bottom = image.at(x0, y1) * (1 - wx) + image.at(x1, y1) * wx;
      out.pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                 static_cast<std::size_t>(x)] =
          static_cast<std::uint8_t>(std::lround(top * (1 - wy) + bottom * wy));
    }
  }
  return out;
}

namespace {

// Pixels at least `ratio` darker than their neighbourhood's mean and by
// `margin` gray levels.
struct Darkness {
  double ratio;
  int margin;
};
constexpr Darkness kDarkness[] = {{0.82, 18}, {0.6, 45}};
// Digits taller than twice this are first searched for on a half-size copy.
constexpr double kSearchDigitHeight = 12;

// The lines found with one darkness rule.
std::vector<DigitLine> linesWith(const Gray& torso, const std::vector<float>& means,
                                 double digitHeight, const Darkness& rule) {
  const int w = torso.width, h = torso.height;
  const std::vector<std::uint8_t> mask = darkMask(torso, means, rule.ratio, rule.margin);
  std::vector<int> labels;
  const std::vector<Mark> all = components(mask, w, h, labels);
  std::vector<Mark> marks;
  for (const Mark& m : all) {
    if (digitShaped(m, digitHeight, w, h)) marks.push_back(m);
  }
  const int n = static_cast<int>(marks.size());
  std::vector<int> parent(static_cast<std::size_t>(n));
  std::iota(parent.begin(), parent.end(), 0);
  for (int i = 0; i < n; ++i) {
    for (int j = i + 1; j < n; ++j) {
      if (sameLine(marks[static_cast<std::size_t>(i)], marks[static_cast<std::size_t>(j)])) {
        parent[static_cast<std::size_t>(find(parent, i))] = find(parent, j);
      }
    }
  }
  std::vector<DigitLine> lines;
  for (int root = 0; root < n; ++root) {
    if (find(parent, root) != root) continue;
    std::vector<const Mark*> members;
    for (int i = 0; i < n; ++i) {
      if (find(parent, i) == root) members.push_back(&marks[static_cast<std::size_t>(i)]);
    }
    if (members.size() < 2 || members.size() > 6) continue;
    int x0 = w, y0 = h, x1 = 0, y1 = 0;
    std::vector<int> heights;
    for (const Mark* m : members) {
      x0 = std::min(x0, m->x0), y0 = std::min(y0, m->y0);
      x1 = std::max(x1, m->x1), y1 = std::max(y1, m->y1);
      heights.push_back(m->height());
    }
    std::nth_element(heights.begin(),
                     heights.begin() + static_cast<std::ptrdiff_t>(heights.size() / 2),
                     heights.end());
    DigitLine line{x0,
                   y0,
                   x1 - x0 + 1,
                   y1 - y0 + 1,
                   static_cast<int>(members.size()),
                   static_cast<double>(heights[heights.size() / 2]),
                   {}};
    if (hasLoneNeighbour(all, line)) continue;
    // The line's own strokes, black on white: the bib's edges, its small
    // print and the shirt around it never reach the recogniser.
    // Each stroke keeps its gray values and a thin rim around it, so the
    // recogniser still sees the real edges; everything else turns white.
    const int rim = std::max(1, static_cast<int>(std::lround(line.markHeight * kRim)));
    line.ink.assign(static_cast<std::size_t>(line.width) * static_cast<std::size_t>(line.height),
                    255);
    for (const Mark* m : members) {
      for (int y = m->y0; y <= m->y1; ++y) {
        for (int x = m->x0; x <= m->x1; ++x) {
          if (labels[static_cast<std::size_t>(y * w + x)] != m->label) continue;
          for (int yy = std::max(y - rim, line.y);
               yy <= std::min(y + rim, line.y + line.height - 1); ++yy) {
            for (int xx = std::max(x - rim, line.x);
                 xx <= std::min(x + rim, line.x + line.width - 1); ++xx) {
              line.ink[static_cast<std::size_t>((yy - line.y) * line.width + (xx - line.x))] =
                  torso.at(xx, yy);
            }
          }
        }
      }
    }
    lines.push_back(std::move(line));
  }
  return lines;
}

bool overlapping(const DigitLine& a, const DigitLine& b) {
  return a.x < b.x + b.width && b.x < a.x + a.width && a.y < b.y + b.height && b.y < a.y + a.height;
}

}  // namespace

namespace {

// The lines of both darkness rules: the lenient one finds faint or small
// print, the strict one separates digits from a mid-gray shirt that the
// lenient one joins them to at the bib's edge. Where both find a line, the
// one with more marks stays.
std::vector<DigitLine> linesOfBothRules(const Gray& image, double digitHeight) {
  std::vector<DigitLine> lines;
  const std::vector<float> means = localMeans(image, static_cast<int>(digitHeight * 2));
  for (const Darkness& rule : kDarkness) {
    for (DigitLine& line : linesWith(image, means, digitHeight, rule)) {
      const auto same = std::find_if(lines.begin(), lines.end(), [&](const DigitLine& kept) {
        return overlapping(kept, line);
      });
      if (same == lines.end()) {
        lines.push_back(std::move(line));
      } else if (line.marks > same->marks) {
        *same = std::move(line);
      }
    }
  }
  return lines;
}

}  // namespace

Gray halved(const Gray& image) {
  Gray out;
  out.width = image.width / 2;
  out.height = image.height / 2;
  out.pixels.resize(static_cast<std::size_t>(out.width) * static_cast<std::size_t>(out.height));
  for (int y = 0; y < out.height; ++y) {
    for (int x = 0; x < out.width; ++x) {
      const int sum = image.at(2 * x, 2 * y) + image.at(2 * x + 1, 2 * y) +
                      image.at(2 * x, 2 * y + 1) + image.at(2 * x + 1, 2 * y + 1);
      out.pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(out.width) +
                 static_cast<std::size_t>(x)] = static_cast<std::uint8_t>((sum + 2) / 4);
    }
  }
  return out;
}

std::vector<DigitLine> digitLines(const Gray& torso, double digitHeight) {
  if (torso.width < 8 || torso.height < 8) return {};
  std::vector<DigitLine> lines;
  if (digitHeight < 2 * kSearchDigitHeight) {
    lines = linesOfBothRules(torso, digitHeight);
  } else {
    // Searched on a half-size copy, then each find measured again at full
    // size in a window around it, where the marks and their strokes are
    // taken from.
    for (const DigitLine& rough : linesOfBothRules(halved(torso), digitHeight / 2)) {
      const int margin = static_cast<int>(std::lround(digitHeight * 1.2));
      const int x0 = std::max(2 * rough.x - margin, 0), y0 = std::max(2 * rough.y - margin, 0);
      const Gray window =
          cropped(torso, x0, y0, 2 * rough.width + 2 * margin, 2 * rough.height + 2 * margin);
      const DigitLine wanted{
          2 * rough.x - x0, 2 * rough.y - y0, 2 * rough.width, 2 * rough.height, 0, 0, {}};
      std::optional<DigitLine> best;
      for (DigitLine& line : linesOfBothRules(window, digitHeight)) {
        if (!overlapping(line, wanted) || (best && best->marks >= line.marks)) continue;
        best = std::move(line);
      }
      if (!best) continue;
      best->x += x0;
      best->y += y0;
      if (std::none_of(lines.begin(), lines.end(),
                       [&](const DigitLine& kept) { return overlapping(kept, *best); })) {
        lines.push_back(std::move(*best));
      }
    }
  }
  // A bib's number is the largest print on a runner's front.
  std::sort(lines.begin(), lines.end(), [](const DigitLine& a, const DigitLine& b) {
    return a.markHeight != b.markHeight ? a.markHeight > b.markHeight : a.marks > b.marks;
  });
  return lines;
}

bool clearSides(const Gray& torso, const DigitLine& line) {
  // The paper's level: the light end of the line's own box, between and
  // around its digits.
  std::vector<std::uint8_t> values;
  for (int y = line.y; y < line.y + line.height; ++y) {
    for (int x = line.x; x < line.x + line.width; ++x) values.push_back(torso.at(x, y));
  }
  if (values.empty()) return false;
  const auto paper = values.begin() + static_cast<std::ptrdiff_t>(values.size() * 9 / 10);
  std::nth_element(values.begin(), paper, values.end());
  const double dark = *paper * 0.7;
  const int near = std::max(1, static_cast<int>(std::lround(line.markHeight * 0.05)));
  const int far = std::max(near + 1, static_cast<int>(std::lround(line.markHeight * 0.35)));
  const auto clear = [&](int x0, int x1) {
    if (x0 < 0 || x1 > torso.width) return false;
    int darkPixels = 0;
    for (int y = line.y; y < line.y + line.height; ++y) {
      for (int x = x0; x < x1; ++x) darkPixels += torso.at(x, y) < dark;
    }
    return darkPixels * 10 <= (x1 - x0) * line.height;
  };
  const int right = line.x + line.width;
  return clear(line.x - far, line.x - near) && clear(right + near, right + far);
}

Gray surroundingsPatch(const Gray& torso, const DigitLine& line, int digitHeight) {
  const int margin = std::max(2, static_cast<int>(std::lround(line.markHeight * 0.3)));
  const Gray part = cropped(torso, line.x - margin, line.y - margin, line.width + 2 * margin,
                            line.height + 2 * margin);
  const double scale = digitHeight / line.markHeight;
  return resized(part, std::max(1, static_cast<int>(std::lround(part.width * scale))),
                 std::max(1, static_cast<int>(std::lround(part.height * scale))));
}

Gray recognitionPatch(const DigitLine& line, int digitHeight, double sideShare) {
  // White margins around the strokes, then the scale.
  const int margin = std::max(2, static_cast<int>(std::lround(line.markHeight * 0.5)));
  const int side = std::max(2, static_cast<int>(std::lround(line.markHeight * sideShare)));
  Gray framed;
  framed.width = line.width + 2 * side;
  framed.height = line.height + 2 * margin;
  framed.pixels.assign(
      static_cast<std::size_t>(framed.width) * static_cast<std::size_t>(framed.height), 255);
  for (int y = 0; y < line.height; ++y) {
    std::copy_n(
        line.ink.begin() + static_cast<std::ptrdiff_t>(y) * line.width, line.width,
        framed.pixels.begin() + static_cast<std::ptrdiff_t>(y + margin) * framed.width + side);
  }
  const double scale = digitHeight / line.markHeight;
  return resized(framed, std::max(1, static_cast<int>(std::lround(framed.width * scale))),
                 std::max(1, static_cast<int>(std::lround(framed.height * scale))));
}

}  // namespace kestrel::bibs
