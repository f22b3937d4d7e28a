// The behaviour pictures (ethogram, contact heat map, trajectories) and writing the outputs.

#include <kovra_utils/behaviour.hpp>
#include <kovra_utils/interop.hpp>
#include <kovra_utils/visual.hpp>

#include "draw.hpp"
#include "text.hpp"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <map>
#include <system_error>

namespace kovra_utils {

namespace {

const cv::Vec4b kInk(30, 30, 30, 255);
const cv::Scalar kPaper(255, 255, 255, 255);
const cv::Scalar kMovingBar(60, 60, 60, 255);

// Zone colours (RGB), distinct on white and on a dark floor; repeated past the last.
const cv::Scalar kZoneColours[] = {{31, 119, 180, 255}, {44, 160, 44, 255},  {255, 127, 14, 255},
                                   {148, 103, 189, 255}, {23, 190, 207, 255}, {214, 39, 40, 255}};

cv::Scalar zone_colour(std::size_t z) { return kZoneColours[z % std::size(kZoneColours)]; }

cv::Mat rgba_to_rgb(const cv::Mat& rgba) {
  cv::Mat rgb;
  cv::cvtColor(rgba, rgb, cv::COLOR_RGBA2RGB);
  return rgb;
}

bool is_absent(const Value& value) { return std::holds_alternative<std::monostate>(value); }

double number_of(const Value& value) {
  if (const auto* i = std::get_if<std::int64_t>(&value)) return static_cast<double>(*i);
  return std::get<double>(value);
}

// The animals of the summary table (object id, box key), in its order.
std::vector<std::pair<std::int64_t, std::string>> animals_of(const BehaviourTables& tables) {
  std::vector<std::pair<std::int64_t, std::string>> animals;
  for (std::size_t r = 0; r < tables.summary.row_count(); ++r) {
    animals.emplace_back(tables.summary.integer(r, "object_id"), tables.summary.text(r, "box_key"));
  }
  return animals;
}

// Zone names in drawing order: the given zones, then any other zone of the bout table.
std::vector<std::string> zone_names(const BehaviourTables& tables, const Zones& zones) {
  std::vector<std::string> names;
  for (const Zone& zone : zones) names.push_back(zone.name);
  for (std::size_t r = 0; r < tables.bouts.row_count(); ++r) {
    const std::string name = tables.bouts.text(r, "zone");
    if (name != "moving" && std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
  }
  return names;
}

void draw_text(cv::Mat& rgba, const draw::Font& font, const std::string& text, cv::Point at,
               const cv::Vec4b& colour = kInk) {
  font.draw_text(rgba, text, at, colour);
}

int text_width(const draw::Font& font, const std::string& text) {
  const auto box = font.text_bbox(text, {0, 0});
  return box[2] - box[0];
}

// A step of 1, 2 or 5 times a power of ten giving at most about ten ticks over `span`.
double tick_step(double span) {
  const double raw = std::max(span / 10, 1e-9);
  const double power = std::pow(10.0, std::floor(std::log10(raw)));
  for (double factor : {1.0, 2.0, 5.0, 10.0}) {
    if (factor * power >= raw) return factor * power;
  }
  return 10 * power;
}

struct TimeRange {
  double first = 0, last = 1;
};

TimeRange time_range(const BehaviourTables& tables) {
  TimeRange range{0, 0};
  bool any = false;
  const auto extend = [&](double t) {
    range.first = any ? std::min(range.first, t) : t;
    range.last = any ? std::max(range.last, t) : t;
    any = true;
  };
  for (std::size_t r = 0; r < tables.frames.row_count(); ++r) extend(tables.frames.number(r, "time_s"));
  for (std::size_t r = 0; r < tables.bouts.row_count(); ++r) extend(tables.bouts.number(r, "end_s"));
  if (range.last <= range.first) range.last = range.first + 1;
  return range;
}

}  // namespace

cv::Mat draw_ethogram(const BehaviourTables& tables, const Zones& zones) {
  const auto animals = animals_of(tables);
  const std::vector<std::string> names = zone_names(tables, zones);
  const draw::Font font = draw::Font::load("arial.ttf", 13);
  constexpr int kLeft = 110, kRight = 30, kTop = 40, kRow = 34, kWidth = 1200;
  const int plot_bottom = kTop + kRow * std::max<int>(1, static_cast<int>(animals.size()));
  const int height = plot_bottom + 90;
  cv::Mat rgba(height, kWidth, CV_8UC4, kPaper);
  const TimeRange range = time_range(tables);
  const double plot_width = kWidth - kLeft - kRight;
  const auto x_of = [&](double t) {
    return kLeft + static_cast<int>(std::lround((t - range.first) / (range.last - range.first) * plot_width));
  };
  draw_text(rgba, font, "Ethogram: zone visits and movement bouts per animal", {kLeft, 12});

  std::map<std::int64_t, int> row_of;
  for (std::size_t a = 0; a < animals.size(); ++a) {
    const int top = kTop + static_cast<int>(a) * kRow;
    row_of[animals[a].first] = top;
    cv::line(rgba, {kLeft, top + kRow - 1}, {kWidth - kRight, top + kRow - 1}, cv::Scalar(225, 225, 225, 255));
    draw_text(rgba, font, "ID " + std::to_string(animals[a].first) + " (" + animals[a].second + ")",
              {8, top + kRow / 2 - 8});
  }
  const int lanes = std::max<int>(1, static_cast<int>(names.size()));
  const int lane_height = std::max(2, (kRow - 12) / lanes);
  for (std::size_t r = 0; r < tables.bouts.row_count(); ++r) {
    const auto row = row_of.find(tables.bouts.integer(r, "object_id"));
    if (row == row_of.end()) continue;
    const std::string zone = tables.bouts.text(r, "zone");
    const int x1 = x_of(tables.bouts.number(r, "start_s"));
    const int x2 = std::max(x1 + 1, x_of(tables.bouts.number(r, "end_s")));
    if (zone == "moving") {
      cv::rectangle(rgba, cv::Rect(x1, row->second + kRow - 9, x2 - x1, 4), kMovingBar, cv::FILLED);
      continue;
    }
    const auto z = static_cast<std::size_t>(std::find(names.begin(), names.end(), zone) - names.begin());
    const int top = row->second + 3 + static_cast<int>(z) * lane_height;
    cv::rectangle(rgba, cv::Rect(x1, top, x2 - x1, lane_height - 1), zone_colour(z), cv::FILLED);
  }
  // Time axis in minutes.
  cv::line(rgba, {kLeft, plot_bottom}, {kWidth - kRight, plot_bottom}, cv::Scalar(kInk));
  const double first_min = range.first / 60, last_min = range.last / 60;
  const double step = tick_step(last_min - first_min);
  for (double m = std::ceil(first_min / step) * step; m <= last_min + 1e-12; m += step) {
    const int x = x_of(m * 60);
    cv::line(rgba, {x, plot_bottom}, {x, plot_bottom + 5}, cv::Scalar(kInk));
    const std::string label = text::format_fixed(m, step < 1 ? (step < 0.1 ? 2 : 1) : 0);
    draw_text(rgba, font, label, {x - text_width(font, label) / 2, plot_bottom + 8});
  }
  draw_text(rgba, font, "time (min)", {kLeft + static_cast<int>(plot_width) / 2 - 30, plot_bottom + 28});
  // Legend.
  int x = kLeft;
  const int legend_y = plot_bottom + 56;
  for (std::size_t z = 0; z < names.size(); ++z) {
    cv::rectangle(rgba, cv::Rect(x, legend_y, 18, 12), zone_colour(z), cv::FILLED);
    draw_text(rgba, font, names[z], {x + 24, legend_y - 2});
    x += 24 + text_width(font, names[z]) + 24;
  }
  cv::rectangle(rgba, cv::Rect(x, legend_y + 4, 18, 4), kMovingBar, cv::FILLED);
  draw_text(rgba, font, "moving", {x + 24, legend_y - 2});
  return rgba_to_rgb(rgba);
}

cv::Mat draw_contact_matrix(const BehaviourTables& tables) {
  const Table& matrix = tables.contacts;
  const int n = static_cast<int>(matrix.row_count());
  const draw::Font font = draw::Font::load("arial.ttf", 12);
  constexpr int kCell = 56, kLeft = 70, kTop = 60;
  const int side = std::max(1, n) * kCell;
  cv::Mat rgba(kTop + side + 40, kLeft + side + 30, CV_8UC4, kPaper);
  draw_text(rgba, font, "Contact bouts: total seconds per pair", {kLeft, 12});
  double largest = 0;
  for (int r = 0; r < n; ++r) {
    for (int c = 1; c <= n; ++c) largest = std::max(largest, number_of(matrix.at(static_cast<std::size_t>(r), static_cast<std::size_t>(c))));
  }
  for (int r = 0; r < n; ++r) {
    const std::string id = std::to_string(matrix.integer(static_cast<std::size_t>(r), "object_id"));
    draw_text(rgba, font, "ID " + id, {8, kTop + r * kCell + kCell / 2 - 7});
    const std::string column = "ID " + id;
    draw_text(rgba, font, column, {kLeft + r * kCell + (kCell - text_width(font, column)) / 2, kTop - 20});
    for (int c = 0; c < n; ++c) {
      const double seconds = number_of(matrix.at(static_cast<std::size_t>(r), static_cast<std::size_t>(c) + 1));
      const double level = largest > 0 ? seconds / largest : 0;
      // White to red.
      const cv::Scalar colour(255, 255 * (1 - level), 255 * (1 - level), 255);
      const cv::Rect cell(kLeft + c * kCell, kTop + r * kCell, kCell, kCell);
      cv::rectangle(rgba, cell, colour, cv::FILLED);
      cv::rectangle(rgba, cell, cv::Scalar(200, 200, 200, 255), 1);
      const std::string label = text::format_fixed(seconds, 1);
      const cv::Vec4b ink = level > 0.6 ? cv::Vec4b(255, 255, 255, 255) : kInk;
      draw_text(rgba, font, label, {cell.x + (kCell - text_width(font, label)) / 2, cell.y + kCell / 2 - 7}, ink);
    }
  }
  return rgba_to_rgb(rgba);
}

namespace {

cv::Mat trajectory_canvas(const BehaviourTables& tables, const Zones& zones, const cv::Mat& background) {
  if (!background.empty()) {
    if (background.type() == CV_8UC3) return background.clone();
    cv::Mat rgb;
    if (background.type() == CV_8UC4) cv::cvtColor(background, rgb, cv::COLOR_RGBA2RGB);
    else if (background.type() == CV_8UC1) cv::cvtColor(background, rgb, cv::COLOR_GRAY2RGB);
    else throw ArgumentError("background must be an 8-bit gray, RGB or RGBA image, got " + cv::typeToString(background.type()));
    return rgb;
  }
  cv::Size size(1, 1);
  if (!zones.empty()) size = zones.front().raster.size();
  for (std::size_t r = 0; r < tables.frames.row_count(); ++r) {
    size.width = std::max(size.width, static_cast<int>(tables.frames.number(r, "centroid_x")) + 20);
    size.height = std::max(size.height, static_cast<int>(tables.frames.number(r, "centroid_y")) + 20);
  }
  size.width = std::min(size.width, 1 << 14);
  size.height = std::min(size.height, 1 << 14);
  return cv::Mat(size, CV_8UC3, cv::Scalar(50, 50, 50));
}

}  // namespace

cv::Mat draw_trajectories(const BehaviourTables& tables, const Zones& zones, const cv::Mat& background) {
  cv::Mat rgb = trajectory_canvas(tables, zones, background);
  const int thickness = std::max(2, rgb.cols / 600);
  const draw::Font font = draw::Font::load("arial.ttf", std::max(14, rgb.cols / 80));
  cv::Mat rgba = draw::to_rgba(rgb);
  for (std::size_t z = 0; z < zones.size(); ++z) {
    for (const auto& outline : zones[z].outlines) {
      std::vector<cv::Point> points;
      for (const cv::Point2d& p : outline) points.emplace_back(static_cast<int>(std::trunc(p.x)), static_cast<int>(std::trunc(p.y)));
      cv::polylines(rgba, points, true, zone_colour(z), thickness, cv::LINE_AA);
      const cv::Scalar c = zone_colour(z);
      draw_text(rgba, font, zones[z].name, points.front() + cv::Point(4, 4),
                cv::Vec4b(static_cast<uchar>(c[0]), static_cast<uchar>(c[1]), static_cast<uchar>(c[2]), 255));
    }
  }
  std::map<std::int64_t, cv::Point2d> last;
  const Table& frames = tables.frames;
  for (std::size_t r = 0; r < frames.row_count(); ++r) {
    const std::int64_t id = frames.integer(r, "object_id");
    const cv::Point2d at(frames.number(r, "centroid_x"), frames.number(r, "centroid_y"));
    const auto seed = static_cast<std::uint32_t>(42 + identity_of(frames.text(r, "box_key")) - 1);
    const auto colour = generate_random_color(seed);
    const auto previous = last.find(id);
    if (previous != last.end() && !is_absent(frames.at(r, "step_px"))) {
      cv::line(rgba, cv::Point(previous->second), cv::Point(at), cv::Scalar(colour[0], colour[1], colour[2], 255),
               thickness, cv::LINE_AA);
    }
    last[id] = at;
  }
  for (const auto& [id, at] : last) {
    draw_text(rgba, font, "ID " + std::to_string(id), cv::Point(at) + cv::Point(6, -6), cv::Vec4b(255, 255, 255, 255));
  }
  return rgba_to_rgb(rgba);
}

namespace {

void write_png(const std::filesystem::path& path, const cv::Mat& rgb) {
  cv::Mat bgr;
  cv::cvtColor(rgb, bgr, cv::COLOR_RGB2BGR);
  std::vector<uchar> bytes;
  if (!cv::imencode(".png", bgr, bytes)) throw FileError("cannot encode the picture " + path.string());
  write_file_atomically(path, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

}  // namespace

void write_behaviour(const BehaviourTables& tables, const std::filesystem::path& output_dir, const Zones& zones,
                     const cv::Mat& background) {
  std::error_code error;
  std::filesystem::create_directories(output_dir, error);
  if (error) throw FileError("cannot create the folder " + output_dir.string() + ": " + error.message());
  tables.frames.write_csv(output_dir / "frames.csv");
  tables.bouts.write_csv(output_dir / "bouts.csv");
  tables.contact_bouts.write_csv(output_dir / "contact_bouts.csv");
  tables.contacts.write_csv(output_dir / "contacts.csv");
  tables.summary.write_csv(output_dir / "summary.csv");
  write_png(output_dir / "ethogram.png", draw_ethogram(tables, zones));
  write_png(output_dir / "contacts.png", draw_contact_matrix(tables));
  write_png(output_dir / "trajectories.png", draw_trajectories(tables, zones, background));
}

}  // namespace kovra_utils
