// The colour-conversion plug-in on LittleCMS: sRGB pixels to the inks of a
// CMYK output profile, or to a fixed under-colour-removal rule when no
// profile is named, so that a colour printer prints colour without any
// profile installed. Either way neutral pixels print with black alone and
// the total ink is capped (ink_rules.h); a named profile that cannot be
// used is refused, so that the filter can say so.
#include <lcms2.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "iccp_api.h"
#include "ink_rules.h"

#define ICCP_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

// One conversion: a LittleCMS transform, or none for the built-in rule.
struct IccpHandle {
  cmsContext context = nullptr;
  cmsHTRANSFORM transform = nullptr;
};

// Directories searched for a profile given by a bare name, in order.
std::string FindProfile(const char* name) {
  if (!name || !*name) return {};
  std::string n(name);
  if (n[0] == '/') return access(n.c_str(), R_OK) == 0 ? n : std::string{};
  // A relative name stays below the profile directories.
  if (n.find("..") != std::string::npos) return {};
  std::string cupsData = std::getenv("CUPS_DATADIR") ? std::getenv("CUPS_DATADIR") : ICCP_CUPS_DATADIR;
  const std::string dirs[] = {"/usr/share/color/icc", "/usr/local/share/color/icc", "/var/lib/color/icc",
                              cupsData + "/profiles"};
  for (const std::string& d : dirs) {
    std::string path = d + "/" + n;
    if (access(path.c_str(), R_OK) == 0) return path;
  }
  return {};
}

// Builds the sRGB-to-profile transform; nullptr when the profile cannot be
// opened or does not describe CMYK output.
cmsHTRANSFORM OpenTransform(cmsContext ctx, const std::string& path, int intent) {
  cmsHPROFILE out = cmsOpenProfileFromFileTHR(ctx, path.c_str(), "r");
  if (!out) return nullptr;
  cmsHTRANSFORM t = nullptr;
  if (cmsGetColorSpace(out) == cmsSigCmykData && cmsIsIntentSupported(out, intent, LCMS_USED_AS_OUTPUT)) {
    cmsHPROFILE srgb = cmsCreate_sRGBProfileTHR(ctx);
    if (srgb) {
      t = cmsCreateTransformTHR(ctx, srgb, TYPE_RGB_8, out, TYPE_CMYK_8, intent,
                                cmsFLAGS_BLACKPOINTCOMPENSATION);
      cmsCloseProfile(srgb);
    }
  }
  cmsCloseProfile(out);
  return t;
}

// The built-in rule: complementary inks with full grey-component
// replacement. Neutral pixels print with black toner alone, so text and
// greys stay sharp whatever the registration of the colour planes.
void ConvertByRule(const unsigned char* src, unsigned char* dst, long pixels) {
  for (long i = 0; i < pixels; ++i, src += 3, dst += 4) {
    ink_rules::RuleInks(src, dst);
    ink_rules::NeutralBlackAndLimit(src, dst);
  }
}

// The profile's inks of n pixels, finished for black and the ink limit.
void Transform(cmsHTRANSFORM t, const unsigned char* src, unsigned char* dst, long n) {
  cmsDoTransform(t, src, dst, static_cast<cmsUInt32Number>(n));
  for (long i = 0; i < n; ++i) ink_rules::NeutralBlackAndLimit(src + 3 * i, dst + 4 * i);
}

// Runs of at least this many equal pixels are converted once.
constexpr long kLongRun = 16;

// Length of the run of pixels equal to pixel i, up to n.
long RunAt(const unsigned char* src, long i, long n) {
  const unsigned char* p = src + 3 * i;
  const unsigned char r = p[0], g = p[1], b = p[2];
  long j = i + 1;
  for (const unsigned char* q = p + 3; j < n && q[0] == r && q[1] == g && q[2] == b; ++j, q += 3) {
  }
  return j - i;
}

// Converts a line through the transform. Pages are mostly white paper and
// flat areas: a long run of one colour is converted once and repeated, the
// stretches between runs go to LittleCMS in one call each.
void ConvertByProfile(cmsHTRANSFORM t, const unsigned char* src, unsigned char* dst, long pixels) {
  long i = 0;
  while (i < pixels) {
    const long run = RunAt(src, i, pixels);
    if (run >= kLongRun) {
      Transform(t, src + 3 * i, dst + 4 * i, 1);
      for (long k = 1; k < run; ++k) std::memcpy(dst + 4 * (i + k), dst + 4 * i, 4);
      i += run;
      continue;
    }
    long end = i + run;
    while (end < pixels) {
      const long next = RunAt(src, end, pixels);
      if (next >= kLongRun) break;
      end += next;
    }
    Transform(t, src + 3 * i, dst + 4 * i, end - i);
    i = end;
  }
}

}  // namespace

// Without a profile name the handle converts by the built-in rule; a named
// profile that cannot be found, read or used for CMYK output gives NULL.
ICCP_EXPORT void* KR_IccP_SetProfile(const char* profile, short* Option) {
  auto* h = new (std::nothrow) IccpHandle;
  if (!h) return nullptr;
  if (!profile || !*profile) return h;
  int intent = INTENT_PERCEPTUAL;
  if (Option && Option[IccIntent] >= 0 && Option[IccIntent] <= 3) intent = Option[IccIntent];
  const std::string path = FindProfile(profile);
  if (!path.empty()) {
    h->context = cmsCreateContext(nullptr, nullptr);
    if (h->context) h->transform = OpenTransform(h->context, path, intent);
  }
  if (!h->transform) {
    if (h->context) cmsDeleteContext(h->context);
    delete h;
    return nullptr;
  }
  return h;
}

ICCP_EXPORT int KR_IccP_Convert(void* handle, const unsigned char* src, unsigned char* dst, long pixels) {
  auto* h = static_cast<IccpHandle*>(handle);
  if (!h || !src || !dst || pixels <= 0) return 0;
  if (h->transform)
    ConvertByProfile(h->transform, src, dst, pixels);
  else
    ConvertByRule(src, dst, pixels);
  return 1;
}

ICCP_EXPORT void KR_IccP_Del(void* handle) {
  auto* h = static_cast<IccpHandle*>(handle);
  if (!h) return;
  if (h->transform) cmsDeleteTransform(h->transform);
  if (h->context) cmsDeleteContext(h->context);
  delete h;
}
