// ScaleImage: the bilinear page scaler with its own coordinate mapping and
// per-sum truncation, which the printed result depends on bit for bit.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <vector>

#include "geometry_internal.h"
#include "image.h"
#include "trace.h"

// The weights must round exactly as written: no fused multiply-add.
#if defined(__clang__)
#pragma STDC FP_CONTRACT OFF
#endif

namespace {

// Lines kept per scaling batch; traced only, the scaler works line by line.
constexpr int kThreadHoldBufLines = 100;
// Work-table rows beyond which a call is refused rather than allocated.
constexpr double kMaxTableRows = 1 << 28;

// Per-column coordinates and weights of one call.
struct ColumnTable {
  std::vector<float> m_scale_fx;    // fraction of the source position
  std::vector<float> m_scale_remd;  // 1 - fraction
  std::vector<DWORD> m_scale_tmp3;  // byte offset of the left source pixel
  std::vector<DWORD> m_scale_tmp4;  // byte offset of its right neighbour
};

// Per-row coordinates and weights of one call.
struct RowTable {
  std::vector<float> m_scale_fy;        // fraction of the source line position
  std::vector<float> m_scale_ry;        // 1 - fraction
  std::vector<DWORD> m_scale_iy;        // upper source line
  std::vector<DWORD> m_scale_nextline;  // lower source line
};

// Blends the four neighbours of one target byte, truncating after every sum.
inline BYTE Blend(BYTE a, BYTE b, BYTE c, BYTE d, float fx, float rx, float fy, float ry) {
  int sum = static_cast<int>(static_cast<float>(b) * (ry * fx));
  sum = static_cast<int>(static_cast<float>(sum) + static_cast<float>(d) * (fx * fy));
  sum = static_cast<int>(static_cast<float>(sum) + static_cast<float>(a) * (ry * rx));
  sum = static_cast<int>(static_cast<float>(sum) + static_cast<float>(c) * (rx * fy));
  // The 2.99 makes up for the four truncations, but a blend must stay within
  // its neighbours: else solid black comes out as gray 2, which the screen
  // then prints with white dots, and solid areas lose their edges' values.
  const int result = std::clamp(static_cast<int>(static_cast<float>(sum) + 2.99f),
                                int{std::min({a, b, c, d})}, int{std::max({a, b, c, d})});
  return static_cast<BYTE>(result);
}

// Four lanes of single precision and their integer truncations; the lane
// operations are the scalar ones of Blend, so results are bit for bit alike.
using v4sf = float __attribute__((vector_size(16)));
using v4si = int __attribute__((vector_size(16)));

// Truncates each lane to an integer and back.
inline v4sf Trunc(v4sf v) {
  return __builtin_convertvector(__builtin_convertvector(v, v4si), v4sf);
}

// Blends four adjacent one-byte target pixels of a line (Blend, four at a time).
inline void Blend4(const BYTE* upper, const BYTE* lower, const DWORD* left, const DWORD* right,
                   const float* fxs, const float* rxs, float fy, float ry, BYTE* out) {
  v4sf fx, rx;
  std::memcpy(&fx, fxs, sizeof fx);
  std::memcpy(&rx, rxs, sizeof rx);
  const v4sf a = {float(upper[left[0]]), float(upper[left[1]]), float(upper[left[2]]), float(upper[left[3]])};
  const v4sf b = {float(upper[right[0]]), float(upper[right[1]]), float(upper[right[2]]),
                  float(upper[right[3]])};
  const v4sf c = {float(lower[left[0]]), float(lower[left[1]]), float(lower[left[2]]), float(lower[left[3]])};
  const v4sf d = {float(lower[right[0]]), float(lower[right[1]]), float(lower[right[2]]),
                  float(lower[right[3]])};
  v4sf sum = Trunc(b * (ry * fx));
  sum = Trunc(sum + d * (fx * fy));
  sum = Trunc(sum + a * (ry * rx));
  sum = Trunc(sum + c * (rx * fy));
  const v4sf lo =
      a < b ? (a < c ? (a < d ? a : d) : (c < d ? c : d)) : (b < c ? (b < d ? b : d) : (c < d ? c : d));
  const v4sf hi =
      a > b ? (a > c ? (a > d ? a : d) : (c > d ? c : d)) : (b > c ? (b > d ? b : d) : (c > d ? c : d));
  v4si result = __builtin_convertvector(sum + 2.99f, v4si);
  const v4si low = __builtin_convertvector(lo, v4si), high = __builtin_convertvector(hi, v4si);
  result = result < low ? low : result;
  result = result > high ? high : result;
  for (int i = 0; i < 4; ++i) out[i] = static_cast<BYTE>(result[i]);
}

}  // namespace

namespace image_detail {

// Scales srcWidth × lines pixels into trgWidth columns, at most trgMaxLines lines.
long ScaleImageLimited(const BYTE* srclpbuf, DWORD srcWidth, DWORD srcHigh, DWORD lines, BYTE* trglpbuf,
                       DWORD trgWidth, int Xratio, int Yratio, WORD colorbits, DWORD trgMaxLines,
                       const JobEvents* job) {
  static const char FUNCNAME[] = "ScaleImage";
  DbgMessage(FUNCNAME, "in");
  const DWORD PixelBytes = colorbits >= 8 ? colorbits / 8u : 1u;
  if (!srclpbuf || !trglpbuf) {
    DbgMessage(FUNCNAME, "out");
    return 0;
  }

  const float Xrate = static_cast<float>(Xratio) / 1000;
  const float Yrate = static_cast<float>(Yratio) / 1000;
  const std::uint64_t srcBytesPerLine = std::uint64_t{PixelBytes} * srcWidth;
  const std::uint64_t trgBytesPerLine = std::uint64_t{PixelBytes} * trgWidth;
  DbgMessage(FUNCNAME, "srcWidth = %d", static_cast<int>(srcWidth));
  DbgMessage(FUNCNAME, "srcHigh = %d", static_cast<int>(srcHigh));
  DbgMessage(FUNCNAME, "lines = %d", static_cast<int>(lines));
  DbgMessage(FUNCNAME, "trgWidth = %d", static_cast<int>(trgWidth));
  DbgMessage(FUNCNAME, "Xrate = %f", Xrate);
  DbgMessage(FUNCNAME, "Yrate = %f", Yrate);
  DbgMessage(FUNCNAME, "ThreadHoldBufLines = %d", kThreadHoldBufLines);

  // A zero or negative rate would divide by zero below; a source without
  // pixels or fewer lines than asked for would be read outside its buffer.
  const double yTblLenWide = static_cast<double>(static_cast<float>(srcHigh) * Yrate + 150);
  if (Xratio <= 0 || Yratio <= 0 || srcWidth == 0 || srcHigh == 0 || lines > srcHigh ||
      yTblLenWide > kMaxTableRows || trgWidth > kMaxTableRows || srcBytesPerLine > kMaxPageBytes ||
      trgBytesPerLine > kMaxPageBytes) {
    DbgMessage(FUNCNAME, "bad parameters");
    DbgMessage(FUNCNAME, "out");
    return 0;
  }
  const DWORD y_tbl_len = static_cast<DWORD>(static_cast<float>(srcHigh) * Yrate + 150);

  ColumnTable col;
  RowTable row;
  try {
    col.m_scale_fx.resize(trgWidth);
    col.m_scale_remd.resize(trgWidth);
    col.m_scale_tmp3.resize(trgWidth);
    col.m_scale_tmp4.resize(trgWidth);
    row.m_scale_fy.resize(y_tbl_len);
    row.m_scale_ry.resize(y_tbl_len);
    row.m_scale_iy.resize(y_tbl_len);
    row.m_scale_nextline.resize(y_tbl_len);
  } catch (const std::bad_alloc&) {
    DbgMessage(FUNCNAME, "out");
    return 0;
  }

  // Columns: reducing starts at source position 1 - Xrate, enlarging at 0.
  // A position past the last column is pinned there with no right weight;
  // the right offset is pinned too so that the weightless read stays inside.
  const float X_fix_ratio = Xrate > 1 ? 0.0f : 1 - Xrate;
  const float lastColumn = static_cast<float>(srcWidth - 1);
  for (DWORD x = 0; x < trgWidth; ++x) {
    float position = static_cast<float>(x) / Xrate + X_fix_ratio;
    if (position > lastColumn) position = lastColumn;
    const DWORD xndx = static_cast<DWORD>(position);
    const float fraction = position - static_cast<float>(xndx);
    col.m_scale_fx[x] = fraction;
    col.m_scale_remd[x] = 1 - fraction;
    col.m_scale_tmp3[x] = xndx * PixelBytes;
    col.m_scale_tmp4[x] = (xndx + 1 < srcWidth ? xndx + 1 : xndx) * PixelBytes;
  }

  // Rows: the lower line stops at the last source line; the upper line is
  // pinned too, which only matters for rows past the picture.
  const float Y_fix_ratio = Yrate > 1 ? 0.0f : 1 - Yrate;
  for (DWORD y = 0; y < y_tbl_len; ++y) {
    const float position = static_cast<float>(y) / Yrate + Y_fix_ratio;
    const DWORD yndx = static_cast<DWORD>(position);
    const float fraction = position - static_cast<float>(yndx);
    row.m_scale_fy[y] = fraction;
    row.m_scale_ry[y] = 1 - fraction;
    DWORD next = yndx + 1;
    if (srcHigh == lines && next > srcHigh - 1) next = srcHigh - 1;
    row.m_scale_iy[y] = yndx < srcHigh ? yndx : srcHigh - 1;
    row.m_scale_nextline[y] = next < srcHigh ? next : srcHigh - 1;
  }

  const long trgHigh = static_cast<long>(static_cast<float>(lines) * Yrate);
  DbgMessage(FUNCNAME, "threshold = %d", 0);
  DbgMessage(FUNCNAME, "trgHigh = %d", static_cast<int>(trgHigh));
  DbgMessage(FUNCNAME, "scale start");

  long produce = trgHigh;
  if (produce > static_cast<long>(y_tbl_len)) produce = y_tbl_len;
  if (produce > static_cast<long>(trgMaxLines)) produce = trgMaxLines;
  for (long y = 0; y < produce; ++y) {
    if (job && job->Cancelled()) {
      DbgMessage(FUNCNAME, "Cancel job");
      DbgMessage(FUNCNAME, "out");
      return trgHigh;
    }
    const float fy = row.m_scale_fy[y];
    const float ry = row.m_scale_ry[y];
    const BYTE* upper = srclpbuf + srcBytesPerLine * row.m_scale_iy[y];
    const BYTE* lower = srclpbuf + srcBytesPerLine * row.m_scale_nextline[y];
    BYTE* out = trglpbuf + trgBytesPerLine * static_cast<std::uint64_t>(y);
    DWORD x = 0;
    if (PixelBytes == 1) {
      for (; x + 4 <= trgWidth; x += 4) {
        Blend4(upper, lower, &col.m_scale_tmp3[x], &col.m_scale_tmp4[x], &col.m_scale_fx[x],
               &col.m_scale_remd[x], fy, ry, out + x);
      }
    }
    for (; x < trgWidth; ++x) {
      const float fx = col.m_scale_fx[x];
      const float rx = col.m_scale_remd[x];
      const DWORD left = col.m_scale_tmp3[x];
      const DWORD right = col.m_scale_tmp4[x];
      for (DWORD n = 0; n < PixelBytes; ++n) {
        out[x * PixelBytes + n] =
            Blend(upper[left + n], upper[right + n], lower[left + n], lower[right + n], fx, rx, fy, ry);
      }
    }
  }

  DbgMessage(FUNCNAME, "scale done");
  DbgMessage(FUNCNAME, "return %d line", static_cast<int>(trgHigh));
  DbgMessage(FUNCNAME, "out");
  return trgHigh;
}

}  // namespace image_detail

// Scales a page (or a plane) by Xratio/1000 and Yratio/1000 into trglpbuf.
long ScaleImage(const BYTE* srclpbuf, DWORD srcWidth, DWORD srcHigh, DWORD lines, BYTE* trglpbuf,
                DWORD trgWidth, int Xratio, int Yratio, WORD colorbits, const JobEvents* job) {
  return image_detail::ScaleImageLimited(srclpbuf, srcWidth, srcHigh, lines, trglpbuf, trgWidth, Xratio,
                                         Yratio, colorbits, UINT32_MAX, job);
}
