#include "base/Sha256.h"

#include "base/NumberText.h"

#include <memory>

#include "base/FileSystem.h"

#include <cstring>

#if (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))
#include <cpuid.h>
#include <immintrin.h>
#define QF_SHA_EXTENSIONS 1
#endif

namespace qf {
namespace {

constexpr uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr uint32_t Rotr(uint32_t x, unsigned n) { return x >> n | x << (32 - n); }

#ifdef QF_SHA_EXTENSIONS
// The processor's SHA instructions (with SSSE3 and SSE4.1 around them), where
// it has them: several times faster than the plain rounds.
bool HasShaExtensions() {
  static const bool has = [] {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & bit_SSSE3) || !(c & bit_SSE4_1)) return false;
    if (__get_cpuid_max(0, nullptr) < 7) return false;
    __cpuid_count(7, 0, a, b, c, d);
    return (b & (1u << 29)) != 0;  // SHA
  }();
  return has;
}

// The state is kept as the instructions want it: ABEF and CDGH.
__attribute__((target("sha,sse4.1,ssse3"))) void BlocksWithShaExtensions(uint32_t* state, const uint8_t* data,
                                                                         std::size_t blocks) {
  const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
  __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));
  __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4));
  const __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
  const __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
  __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
  __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);
  for (; blocks > 0; --blocks, data += 64) {
    const __m128i abefBefore = abef, cdghBefore = cdgh;
    __m128i w[4];
    for (int i = 0; i < 16; ++i) {
      __m128i m;
      if (i < 4) {
        m = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * i)), byteSwap);
      } else {
        // W[t] = s1(W[t-2]) + W[t-7] + s0(W[t-15]) + W[t-16], four at a time.
        m = _mm_sha256msg1_epu32(w[i & 3], w[(i + 1) & 3]);
        m = _mm_add_epi32(m, _mm_alignr_epi8(w[(i + 3) & 3], w[(i + 2) & 3], 4));
        m = _mm_sha256msg2_epu32(m, w[(i + 3) & 3]);
      }
      w[i & 3] = m;
      __m128i k = _mm_add_epi32(m, _mm_loadu_si128(reinterpret_cast<const __m128i*>(kRound + 4 * i)));
      cdgh = _mm_sha256rnds2_epu32(cdgh, abef, k);
      k = _mm_shuffle_epi32(k, 0x0E);
      abef = _mm_sha256rnds2_epu32(abef, cdgh, k);
    }
    abef = _mm_add_epi32(abef, abefBefore);
    cdgh = _mm_add_epi32(cdgh, cdghBefore);
  }
  const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
  const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
  dcba = _mm_blend_epi16(feba, dchg, 0xF0);
  hgfe = _mm_alignr_epi8(dchg, feba, 8);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), dcba);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), hgfe);
}
#endif

}  // namespace

Sha256::Sha256()
    : state_{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19} {}

void Sha256::Block(const uint8_t* block) {
  uint32_t w[64];
  for (int i = 0; i < 16; ++i)
    w[i] = uint32_t(block[4 * i]) << 24 | uint32_t(block[4 * i + 1]) << 16 | uint32_t(block[4 * i + 2]) << 8 |
           uint32_t(block[4 * i + 3]);
  for (int i = 16; i < 64; ++i) {
    const uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
    const uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
    w[i] = w[i - 16] + s0 + w[i - 7] + s1;
  }
  uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
  uint32_t e = state_[4], f = state_[5], g = state_[6], h = state_[7];
  for (int i = 0; i < 64; ++i) {
    const uint32_t t1 = h + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + ((e & f) ^ (~e & g)) + kRound[i] + w[i];
    const uint32_t t2 = (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
    h = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  state_[0] += a;
  state_[1] += b;
  state_[2] += c;
  state_[3] += d;
  state_[4] += e;
  state_[5] += f;
  state_[6] += g;
  state_[7] += h;
}

void Sha256::Update(std::string_view bytes) {
  const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
  std::size_t n = bytes.size();
  totalBytes_ += n;
  if (pendingSize_ > 0) {
    const std::size_t take = std::min(n, pending_.size() - pendingSize_);
    std::memcpy(pending_.data() + pendingSize_, p, take);
    pendingSize_ += take;
    p += take;
    n -= take;
    if (pendingSize_ < pending_.size()) return;
    Block(pending_.data());
    pendingSize_ = 0;
  }
#ifdef QF_SHA_EXTENSIONS
  if (n >= 64 && HasShaExtensions()) {
    BlocksWithShaExtensions(state_.data(), p, n / 64);
    p += n / 64 * 64;
    n %= 64;
  }
#endif
  for (; n >= 64; p += 64, n -= 64) Block(p);
  std::memcpy(pending_.data(), p, n);
  pendingSize_ = n;
}

std::array<uint8_t, 32> Sha256::Finish() {
  const uint64_t bits = totalBytes_ * 8;
  // 0x80, zeros up to 56 bytes into a block, then the length in bits.
  const char one = char(0x80);
  Update(std::string_view(&one, 1));
  static const char zeros[64] = {};
  Update(std::string_view(zeros, (pendingSize_ <= 56 ? 56 : 120) - pendingSize_));
  char length[8];
  for (int i = 0; i < 8; ++i) length[i] = char(bits >> (56 - 8 * i));
  Update(std::string_view(length, 8));
  std::array<uint8_t, 32> digest{};
  for (int i = 0; i < 8; ++i)
    for (int j = 0; j < 4; ++j) digest[4 * i + j] = uint8_t(state_[i] >> (24 - 8 * j));
  return digest;
}

std::string Sha256::FinishHex() {
  std::string text;
  for (const uint8_t byte : Finish()) AppendHex(text, byte, 2, HexCase::Lower);
  return text;
}

std::string Sha256Hex(std::string_view bytes) {
  Sha256 sha;
  sha.Update(bytes);
  return sha.FinishHex();
}

std::array<uint8_t, 32> FileSha256(const FileSystem& fs, const std::string& path) {
  const std::unique_ptr<FileReader> reader = fs.OpenForReading(path);
  Sha256 hash;
  std::string buffer(std::size_t{1} << 20, '\0');
  for (std::size_t n; (n = reader->Read(&buffer[0], buffer.size())) != 0;)
    hash.Update(std::string_view(buffer.data(), n));
  return hash.Finish();
}

}  // namespace qf
