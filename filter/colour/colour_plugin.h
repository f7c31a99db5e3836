// The colour-conversion plug-in of a job: the shared library the PPD names
// ("cupslibCMYK"), loaded once per job from the plug-in directory and
// unloaded with the job, and the profile name ("cupsiccCMYK") its
// conversions open.
#pragma once

#include <cstdio>
#include <string>

#include "iccp_api.h"

// Directory the plug-in is loaded from: RASTERTOPWG2_PLUGIN_DIR from the
// environment when set (tests run their own build), else the build's
// setting, else the directory of the running program (empty when unknown).
std::string ColourPluginDir();

class ColourPlugin {
 public:
  ColourPlugin() = default;
  ~ColourPlugin() { Unload(); }
  ColourPlugin(const ColourPlugin&) = delete;
  ColourPlugin& operator=(const ColourPlugin&) = delete;

  // Loads dir/name and looks up its three entries, tracing each step; false
  // when the library cannot be loaded or root alone could not change it
  // (LoadRootOnlyLibrary). A missing entry stays NULL.
  bool Load(const std::string& dir, const char* name, const char* profile);
  void Unload();
  bool Loaded() const { return handle_ != nullptr; }
  // The profile name handed to every conversion.
  const char* Profile() const { return profile_.c_str(); }

  KR_IccP_SetProfile_t fnKR_IccP_SetProfile = nullptr;
  KR_IccP_Convert_t fnKR_IccP_Convert = nullptr;
  KR_IccP_Del_t fnKR_IccP_Del = nullptr;

 private:
  void* handle_ = nullptr;
  std::string profile_;
};

// Loads the job's plug-in and, when colour pages will be separated by the
// built-in rule instead, says why on a "WARNING:" line to err: the plug-in
// cannot be loaded or lacks its entries (it is then unloaded), or the
// profile it names cannot be read.
void LoadColourPluginOrWarn(ColourPlugin& plugin, const std::string& dir, const char* name,
                            const char* profile, FILE* err);
