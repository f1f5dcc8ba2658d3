#include "platform/stream/pixel_convert.h"

#include <cstddef>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define VL_STREAM_SSE41 1
#endif

namespace vl::stream {
namespace {

// The conversion of pixels x0 <= x < width of each row pair, in plain C++: the whole frame on
// machines without SSE4.1, the few pixels of a row past the last group of eight otherwise.
// R and B are the byte offsets of red and blue in a pixel.
template <int R, int B>
void Convert(const uint8_t* src, int stride, int x0, int width, int height, uint8_t* const planes[3],
             const int strides[3]) {
  for (int row = 0; row + 1 < height; row += 2) {
    const uint8_t* a = src + size_t(row) * stride;
    const uint8_t* b = a + stride;
    uint8_t* y0 = planes[0] + size_t(row) * strides[0];
    uint8_t* y1 = y0 + strides[0];
    uint8_t* u = planes[1] + size_t(row / 2) * strides[1];
    uint8_t* v = planes[2] + size_t(row / 2) * strides[2];
    for (int x = x0; x < width; ++x) {
      y0[x] = uint8_t(((66 * a[4 * x + R] + 129 * a[4 * x + 1] + 25 * a[4 * x + B] + 128) >> 8) + 16);
      y1[x] = uint8_t(((66 * b[4 * x + R] + 129 * b[4 * x + 1] + 25 * b[4 * x + B] + 128) >> 8) + 16);
    }
    for (int x = x0 / 2; x < width / 2; ++x) {
      const int r = a[8 * x + R] + a[8 * x + 4 + R] + b[8 * x + R] + b[8 * x + 4 + R];
      const int g = a[8 * x + 1] + a[8 * x + 5] + b[8 * x + 1] + b[8 * x + 5];
      const int bl = a[8 * x + B] + a[8 * x + 4 + B] + b[8 * x + B] + b[8 * x + 4 + B];
      u[x] = uint8_t(((-38 * r - 74 * g + 112 * bl + 512) >> 10) + 128);
      v[x] = uint8_t(((112 * r - 94 * g - 18 * bl + 512) >> 10) + 128);
    }
  }
}

#ifdef VL_STREAM_SSE41
// The weights of one output sample for two pixels of 16-bit channels, in the pixels' byte order.
__attribute__((target("sse4.1"))) __m128i Weights(bool bgra, int r, int g, int b) {
  return bgra ? _mm_setr_epi16(int16_t(b), int16_t(g), int16_t(r), 0, int16_t(b), int16_t(g), int16_t(r), 0)
              : _mm_setr_epi16(int16_t(r), int16_t(g), int16_t(b), 0, int16_t(r), int16_t(g), int16_t(b), 0);
}

// Eight luma samples of the eight pixels held by p0 (pixels 0-1), p1 (2-3), p2 (4-5), p3 (6-7),
// each channel widened to 16 bits: the same integer sums as the plain version, so the same bytes.
__attribute__((target("sse4.1"))) __m128i Luma8(__m128i p0, __m128i p1, __m128i p2, __m128i p3, __m128i w) {
  const __m128i lo = _mm_hadd_epi32(_mm_madd_epi16(p0, w), _mm_madd_epi16(p1, w));
  const __m128i hi = _mm_hadd_epi32(_mm_madd_epi16(p2, w), _mm_madd_epi16(p3, w));
  const __m128i round = _mm_set1_epi32(128), offset = _mm_set1_epi32(16);
  const __m128i y_lo = _mm_add_epi32(_mm_srli_epi32(_mm_add_epi32(lo, round), 8), offset);
  const __m128i y_hi = _mm_add_epi32(_mm_srli_epi32(_mm_add_epi32(hi, round), 8), offset);
  const __m128i words = _mm_packs_epi32(y_lo, y_hi);
  return _mm_packus_epi16(words, words);
}

// Four chroma samples from the 2 x 2 sums s0..s3 (two blocks' pixel pairs each): the four-pixel
// sums weighted, rounded and shifted as the plain version does (an arithmetic shift of a negative
// sum included).
__attribute__((target("sse4.1"))) __m128i Chroma4(__m128i s0, __m128i s1, __m128i s2, __m128i s3, __m128i w) {
  const __m128i pairs01 = _mm_hadd_epi32(_mm_madd_epi16(s0, w), _mm_madd_epi16(s1, w));
  const __m128i pairs23 = _mm_hadd_epi32(_mm_madd_epi16(s2, w), _mm_madd_epi16(s3, w));
  const __m128i sums = _mm_hadd_epi32(pairs01, pairs23);
  return _mm_add_epi32(_mm_srai_epi32(_mm_add_epi32(sums, _mm_set1_epi32(512)), 10), _mm_set1_epi32(128));
}

// Eight pixels at a time of each row pair; returns how many pixels of a row it did.
__attribute__((target("sse4.1"))) int ConvertSse41(const uint8_t* src, int stride, int width, int height, bool bgra,
                                                   uint8_t* const planes[3], const int strides[3]) {
  const __m128i wy = Weights(bgra, 66, 129, 25), wu = Weights(bgra, -38, -74, 112), wv = Weights(bgra, 112, -94, -18);
  const __m128i zero = _mm_setzero_si128();
  const int done = width & ~7;
  for (int row = 0; row + 1 < height; row += 2) {
    const uint8_t* a = src + size_t(row) * stride;
    const uint8_t* b = a + stride;
    uint8_t* y0 = planes[0] + size_t(row) * strides[0];
    uint8_t* y1 = y0 + strides[0];
    uint8_t* u = planes[1] + size_t(row / 2) * strides[1];
    uint8_t* v = planes[2] + size_t(row / 2) * strides[2];
    for (int x = 0; x < done; x += 8) {
      const __m128i a_lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + 4 * x));
      const __m128i a_hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + 4 * x + 16));
      const __m128i b_lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + 4 * x));
      const __m128i b_hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + 4 * x + 16));
      const __m128i a0 = _mm_unpacklo_epi8(a_lo, zero), a1 = _mm_unpackhi_epi8(a_lo, zero);
      const __m128i a2 = _mm_unpacklo_epi8(a_hi, zero), a3 = _mm_unpackhi_epi8(a_hi, zero);
      const __m128i b0 = _mm_unpacklo_epi8(b_lo, zero), b1 = _mm_unpackhi_epi8(b_lo, zero);
      const __m128i b2 = _mm_unpacklo_epi8(b_hi, zero), b3 = _mm_unpackhi_epi8(b_hi, zero);
      _mm_storel_epi64(reinterpret_cast<__m128i*>(y0 + x), Luma8(a0, a1, a2, a3, wy));
      _mm_storel_epi64(reinterpret_cast<__m128i*>(y1 + x), Luma8(b0, b1, b2, b3, wy));
      const __m128i s0 = _mm_add_epi16(a0, b0), s1 = _mm_add_epi16(a1, b1);
      const __m128i s2 = _mm_add_epi16(a2, b2), s3 = _mm_add_epi16(a3, b3);
      const __m128i uv = _mm_packs_epi32(Chroma4(s0, s1, s2, s3, wu), Chroma4(s0, s1, s2, s3, wv));
      const __m128i bytes = _mm_packus_epi16(uv, uv);
      const int u4 = _mm_cvtsi128_si32(bytes), v4 = _mm_extract_epi32(bytes, 1);
      std::memcpy(u + x / 2, &u4, 4);
      std::memcpy(v + x / 2, &v4, 4);
    }
  }
  return done;
}

// The same sixteen pixels at a time. The 256-bit instructions work within halves, so the samples
// come out of the sums in a shuffled order that the permutes below put back.
__attribute__((target("avx2"))) __m256i Weights16(bool bgra, int r, int g, int b) {
  const __m128i w = Weights(bgra, r, g, b);
  return _mm256_set_m128i(w, w);
}

// Luma of the sixteen pixels p0..p3 (as the unpacks leave them) as sixteen 16-bit words in order.
__attribute__((target("avx2"))) __m256i Luma16(__m256i p0, __m256i p1, __m256i p2, __m256i p3, __m256i w) {
  const __m256i lo = _mm256_hadd_epi32(_mm256_madd_epi16(p0, w), _mm256_madd_epi16(p1, w));
  const __m256i hi = _mm256_hadd_epi32(_mm256_madd_epi16(p2, w), _mm256_madd_epi16(p3, w));
  const __m256i round = _mm256_set1_epi32(128), offset = _mm256_set1_epi32(16);
  const __m256i y_lo = _mm256_add_epi32(_mm256_srli_epi32(_mm256_add_epi32(lo, round), 8), offset);
  const __m256i y_hi = _mm256_add_epi32(_mm256_srli_epi32(_mm256_add_epi32(hi, round), 8), offset);
  return _mm256_permute4x64_epi64(_mm256_packs_epi32(y_lo, y_hi), 0xD8);
}

__attribute__((target("avx2"))) __m256i Chroma8(__m256i s0, __m256i s1, __m256i s2, __m256i s3, __m256i w) {
  const __m256i pairs01 = _mm256_hadd_epi32(_mm256_madd_epi16(s0, w), _mm256_madd_epi16(s1, w));
  const __m256i pairs23 = _mm256_hadd_epi32(_mm256_madd_epi16(s2, w), _mm256_madd_epi16(s3, w));
  const __m256i sums = _mm256_hadd_epi32(pairs01, pairs23);  // blocks 0 1 4 5 | 2 3 6 7
  const __m256i ordered = _mm256_permutevar8x32_epi32(sums, _mm256_setr_epi32(0, 1, 4, 5, 2, 3, 6, 7));
  return _mm256_add_epi32(_mm256_srai_epi32(_mm256_add_epi32(ordered, _mm256_set1_epi32(512)), 10),
                          _mm256_set1_epi32(128));
}

__attribute__((target("avx2"))) int ConvertAvx2(const uint8_t* src, int stride, int width, int height, bool bgra,
                                                uint8_t* const planes[3], const int strides[3]) {
  const __m256i wy = Weights16(bgra, 66, 129, 25), wu = Weights16(bgra, -38, -74, 112),
                wv = Weights16(bgra, 112, -94, -18);
  const __m256i zero = _mm256_setzero_si256();
  const int done = width & ~15;
  for (int row = 0; row + 1 < height; row += 2) {
    const uint8_t* a = src + size_t(row) * stride;
    const uint8_t* b = a + stride;
    uint8_t* y0 = planes[0] + size_t(row) * strides[0];
    uint8_t* y1 = y0 + strides[0];
    uint8_t* u = planes[1] + size_t(row / 2) * strides[1];
    uint8_t* v = planes[2] + size_t(row / 2) * strides[2];
    for (int x = 0; x < done; x += 16) {
      const __m256i a_lo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + 4 * x));
      const __m256i a_hi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + 4 * x + 32));
      const __m256i b_lo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + 4 * x));
      const __m256i b_hi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + 4 * x + 32));
      const __m256i a0 = _mm256_unpacklo_epi8(a_lo, zero), a1 = _mm256_unpackhi_epi8(a_lo, zero);
      const __m256i a2 = _mm256_unpacklo_epi8(a_hi, zero), a3 = _mm256_unpackhi_epi8(a_hi, zero);
      const __m256i b0 = _mm256_unpacklo_epi8(b_lo, zero), b1 = _mm256_unpackhi_epi8(b_lo, zero);
      const __m256i b2 = _mm256_unpacklo_epi8(b_hi, zero), b3 = _mm256_unpackhi_epi8(b_hi, zero);
      // Row a's sixteen luma bytes, then row b's.
      const __m256i luma =
          _mm256_permute4x64_epi64(_mm256_packus_epi16(Luma16(a0, a1, a2, a3, wy), Luma16(b0, b1, b2, b3, wy)), 0xD8);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(y0 + x), _mm256_castsi256_si128(luma));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(y1 + x), _mm256_extracti128_si256(luma, 1));
      const __m256i s0 = _mm256_add_epi16(a0, b0), s1 = _mm256_add_epi16(a1, b1);
      const __m256i s2 = _mm256_add_epi16(a2, b2), s3 = _mm256_add_epi16(a3, b3);
      // Eight U words, then eight V words; then their bytes, U's in the low half.
      const __m256i uv =
          _mm256_permute4x64_epi64(_mm256_packs_epi32(Chroma8(s0, s1, s2, s3, wu), Chroma8(s0, s1, s2, s3, wv)), 0xD8);
      const __m256i bytes = _mm256_packus_epi16(uv, uv);
      _mm_storel_epi64(reinterpret_cast<__m128i*>(u + x / 2), _mm256_castsi256_si128(bytes));
      _mm_storel_epi64(reinterpret_cast<__m128i*>(v + x / 2), _mm256_extracti128_si256(bytes, 1));
    }
  }
  return done;
}
#endif

}  // namespace

bool Supported(VectorLevel level) {
#ifdef VL_STREAM_SSE41
  static const bool avx2 = __builtin_cpu_supports("avx2"), sse41 = __builtin_cpu_supports("sse4.1");
  if (level == VectorLevel::kAvx2) return avx2;
  if (level == VectorLevel::kSse41) return sse41;
#endif
  return level == VectorLevel::kPlain;
}

bool ToYuv420With(VectorLevel level, const uint8_t* src, int stride, int width, int height, bool bgra,
                  uint8_t* const planes[3], const int strides[3]) {
  if (!Supported(level)) return false;
  int done = 0;
#ifdef VL_STREAM_SSE41
  if (level == VectorLevel::kAvx2) done = ConvertAvx2(src, stride, width, height, bgra, planes, strides);
  if (level == VectorLevel::kSse41) done = ConvertSse41(src, stride, width, height, bgra, planes, strides);
#endif
  if (done == width) return true;
  if (bgra) Convert<2, 0>(src, stride, done, width, height, planes, strides);
  else Convert<0, 2>(src, stride, done, width, height, planes, strides);
  return true;
}

void ToYuv420(const uint8_t* src, int stride, int width, int height, bool bgra, uint8_t* const planes[3],
              const int strides[3]) {
  static const VectorLevel best = Supported(VectorLevel::kAvx2)    ? VectorLevel::kAvx2
                                  : Supported(VectorLevel::kSse41) ? VectorLevel::kSse41
                                                                   : VectorLevel::kPlain;
  ToYuv420With(best, src, stride, width, height, bgra, planes, strides);
}

}  // namespace vl::stream
