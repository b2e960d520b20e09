// "codebooks.bin": the bincode image of a product quantizer, and its checked loading.
#include <string>

#include "core/bincode.h"
#include "core/file_io.h"
#include "core/norm.h"
#include "quant/product_quantizer.h"

namespace tamix {
namespace {

Error bad_image(const std::string& what) {
  return Error::Serialization("codebooks image: " + what);
}

std::string shape_text(uint64_t m, uint64_t k, uint64_t d_sub) {
  return "m=" + std::to_string(m) + ", k=" + std::to_string(k) + ", d_sub=" + std::to_string(d_sub);
}

// Checks a u64 count of the image against the one the shape requires.
Status expect_count(bincode::Reader& in, uint64_t want, const char* what) {
  TAMIX_ASSIGN_OR_RETURN(const uint64_t got, in.u64());
  if (got == want) return Ok();
  return bad_image(std::string(what) + " " + std::to_string(got) + ", expected " +
                   std::to_string(want));
}

}  // namespace

uint64_t ProductQuantizer::image_size(PqShape shape) {
  return 32 + shape.m * (8 + kK * (8 + 4 * shape.d_sub));
}

std::vector<uint8_t> ProductQuantizer::image() const {
  bincode::Writer out;
  out.u64(shape_.m);
  out.u64(kK);
  out.u64(shape_.d_sub);
  out.u64(shape_.m);
  for (uint64_t i = 0; i < shape_.m; ++i) {
    out.u64(kK);
    for (uint64_t q = 0; q < kK; ++q) {
      out.u64(shape_.d_sub);
      out.f32s(centroid(i, q));
    }
  }
  return std::move(out).take();
}

Result<ProductQuantizer> ProductQuantizer::from_image(std::span<const uint8_t> image,
                                                      uint64_t dimension) {
  TAMIX_ASSIGN_OR_RETURN(const PqShape shape, pq_shape(dimension));
  bincode::Reader in(image);
  TAMIX_ASSIGN_OR_RETURN(const uint64_t m, in.u64());
  TAMIX_ASSIGN_OR_RETURN(const uint64_t k, in.u64());
  TAMIX_ASSIGN_OR_RETURN(const uint64_t d_sub, in.u64());
  if (m != shape.m || k != kK || d_sub != shape.d_sub) {
    return bad_image(shape_text(m, k, d_sub) + " where dimension " + std::to_string(dimension) +
                     " needs " + shape_text(shape.m, kK, shape.d_sub));
  }
  // The shape is now known; the length must match it before anything is allocated.
  if (image.size() != image_size(shape)) {
    return bad_image(std::to_string(image.size()) + " bytes, expected " +
                     std::to_string(image_size(shape)));
  }
  TAMIX_TRY(expect_count(in, m, "codebook count"));
  std::vector<float> centroids(m * kK * d_sub);
  for (uint64_t i = 0; i < m; ++i) {
    TAMIX_TRY(expect_count(in, kK, "centroid count"));
    for (uint64_t q = 0; q < kK; ++q) {
      TAMIX_TRY(expect_count(in, d_sub, "centroid length"));
      TAMIX_TRY(in.f32s(std::span<float>(centroids).subspan((i * kK + q) * d_sub, d_sub)));
    }
  }
  TAMIX_TRY(in.finish());
  // Training on finite vectors never writes one, and it would win or lose every comparison.
  if (!all_finite(centroids)) return bad_image("a centroid value that is not finite");
  return ProductQuantizer(shape, std::move(centroids));
}

Status ProductQuantizer::save(const std::string& path) const {
  return file_io::write_file_atomically(path, image()).Context("Failed to save codebooks");
}

Result<ProductQuantizer> ProductQuantizer::load(const std::string& path, uint64_t dimension) {
  auto read = [&]() -> Result<ProductQuantizer> {
    TAMIX_ASSIGN_OR_RETURN(const PqShape shape, pq_shape(dimension));
    TAMIX_ASSIGN_OR_RETURN(std::vector<uint8_t> bytes, file_io::read_file(path, image_size(shape)));
    return from_image(bytes, dimension);
  };
  return read().Context("Failed to load codebooks");
}

}  // namespace tamix
