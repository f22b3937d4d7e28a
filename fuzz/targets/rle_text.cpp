// Compressed RLE counts text (pycocotools' format) for a plane whose size the first four bytes
// give (two 16-bit sides). What parses must round-trip through the text and, when it decodes,
// through a mask with the same area and encoding.

#include <kovra_utils/interop.hpp>

#include "fuzz_support.hpp"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  const int height = data[0] | (data[1] << 8);
  const int width = data[2] | (data[3] << 8);
  const std::string text = kovra_fuzz::as_text(data + 4, size - 4);
  kovra_utils::Rle rle;
  try {
    rle = kovra_utils::rle_from_string(text, height, width);
  } catch (const kovra_utils::ContentError&) {
    return 0;
  }
  if (kovra_utils::rle_from_string(kovra_utils::rle_to_string(rle), height, width) != rle) {
    std::abort();
  }
  try {
    const kovra_utils::Mask mask = kovra_utils::decode_rle(rle);
    if (mask.area() != kovra_utils::rle_area(rle)) std::abort();
    const kovra_utils::Rle again = kovra_utils::encode_rle(mask);
    if (kovra_utils::rle_iou(again, rle) != (mask.area() == 0 ? 0.0 : 1.0)) std::abort();
    if (kovra_utils::encode_rle(kovra_utils::decode_rle(again)) != again) std::abort();
  } catch (const kovra_utils::ContentError&) {  // a decoded crop beyond the limit
  }
  return 0;
}
