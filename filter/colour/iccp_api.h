// The colour-conversion plug-in's entry points, as the filter calls them.
// The plug-in is a shared library named by the PPD ("cupslibCMYK"); the
// filter looks its three entries up by name, so this header only fixes
// their types and the option array both sides agree on.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// Indexes of the option array handed to KR_IccP_SetProfile (16 signed
// 16-bit values; the filter passes them all 0).
enum OPTION {
  IccInColor = 0,    // input colour space; 0 = sRGB
  IccIntent = 1,     // rendering intent; 0 = perceptual
  IccAdjust_L = 2,   // lightness adjustment; 0 = none
  IccAdjust_c = 3,   // chroma adjustment; 0 = none
  IccBlackK = 4,     // black generation; 0 = neutrals with black alone
  IccOptionMax = 16  // size of the array
};

// Opens the named output profile and prepares an RGB-to-CMYK conversion;
// returns the conversion handle, NULL when a named profile cannot be used.
// An empty name asks for the plug-in's own rule.
typedef void* (*KR_IccP_SetProfile_t)(const char* profile, short* Option);
// Converts pixels of one line: src holds red, green, blue per pixel, dst
// receives C, M, Y, K per pixel, 255 full colorant. The result is not used.
typedef int (*KR_IccP_Convert_t)(void* handle, const unsigned char* src, unsigned char* dst, long pixels);
// Releases a handle of KR_IccP_SetProfile.
typedef void (*KR_IccP_Del_t)(void* handle);

#ifdef __cplusplus
}
#endif
