#pragma once

// Annotation files read into masks. A Reader keeps its buffers (file text, parser tape, polygon
// vertices) from one file to the next, so a clip's files are read without fresh allocations
// per file; give each thread its own Reader.

#include <kovra_utils/annotation.hpp>

#include <opencv2/core.hpp>

#include <memory>
#include <string>

namespace kovra_utils::annotation_reader {

class Reader {
 public:
  /// `many_files`: the masks of the files read are kept together (a clip), so their crops may
  /// share large blocks of memory, which a single mask then keeps alive.
  explicit Reader(bool many_files = false);
  ~Reader();
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  /// process_json_and_generate_masks of `json_path` on a plane of `size`, with the same results
  /// and the same errors.
  AnnotationMasks read(const std::string& json_path, cv::Size size);

 private:
  struct Buffers;
  std::unique_ptr<Buffers> buffers_;
};

}  // namespace kovra_utils::annotation_reader
