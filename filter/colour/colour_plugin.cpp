// Loading the colour-conversion plug-in and looking up its entries.
#include "colour_plugin.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "paths.h"
#include "trace.h"

namespace {

const char FUNCNAME[] = "Page_24BitProcessAndSaveCMYK";

// Looks up one entry and traces the outcome under its name.
void* Entry(void* lib, const char* name) {
  dlerror();
  void* fn = dlsym(lib, name);
  const char* err = dlerror();
  if (!fn || err)
    DbgMessage(FUNCNAME, "Get %s fail! error = %s", name, err ? err : "no such entry");
  else
    DbgMessage(FUNCNAME, "Get %s success.", name);
  return err ? nullptr : fn;
}

}  // namespace

std::string ColourPluginDir() {
  const char* env = std::getenv("RASTERTOPWG2_PLUGIN_DIR");
  if (env && *env) return env;
  if (*RASTERTOPWG2_PLUGIN_DIR) return RASTERTOPWG2_PLUGIN_DIR;
  // Beside the filter, wherever it was installed: the plug-in then moves
  // with the install prefix, even one given only at install time.
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return {};
  const std::string exe(self, static_cast<size_t>(n));
  const size_t slash = exe.rfind('/');
  return slash == std::string::npos ? std::string() : exe.substr(0, slash);
}

bool ColourPlugin::Load(const std::string& dir, const char* name, const char* profile) {
  Unload();
  profile_ = profile ? profile : "";
  // The name comes from the PPD: a bare file name, kept inside the directory.
  if (!name || !*name || std::strchr(name, '/') || std::strlen(name) >= 128) {
    DbgMessage(FUNCNAME, "Open %s fail! error = %s", name ? name : "", "not a plug-in file name");
    return false;
  }
  if (dir.empty()) {
    DbgMessage(FUNCNAME, "Open %s fail! error = %s", name, "no plug-in directory");
    return false;
  }
  // Code loaded into the filter runs as the filter's user in every job of
  // the queue: only a plug-in that root alone can change is loaded.
  const std::string path = dir + "/" + name;
  std::string why;
  bool refused = false;
  handle_ = LoadRootOnlyLibrary(path, RTLD_NOW | RTLD_LOCAL, &why, &refused);
  if (!handle_) {
    DbgMessage(FUNCNAME, "Open %s fail! error = %s%s", path.c_str(), refused ? "passed over, " : "",
               why.c_str());
    return false;
  }
  DbgMessage(FUNCNAME, "Open %s success.", path.c_str());
  fnKR_IccP_SetProfile = reinterpret_cast<KR_IccP_SetProfile_t>(Entry(handle_, "KR_IccP_SetProfile"));
  fnKR_IccP_Convert = reinterpret_cast<KR_IccP_Convert_t>(Entry(handle_, "KR_IccP_Convert"));
  fnKR_IccP_Del = reinterpret_cast<KR_IccP_Del_t>(Entry(handle_, "KR_IccP_Del"));
  return true;
}

void ColourPlugin::Unload() {
  fnKR_IccP_SetProfile = nullptr;
  fnKR_IccP_Convert = nullptr;
  fnKR_IccP_Del = nullptr;
  if (handle_) dlclose(handle_);
  handle_ = nullptr;
}

void LoadColourPluginOrWarn(ColourPlugin& plugin, const std::string& dir, const char* name,
                            const char* profile, FILE* err) {
  static const char kRule[] = "colour pages are separated by the built-in rule";
  if (!plugin.Load(dir, name, profile)) {
    CupsMessage(err, "WARNING: ", "Colour plug-in %s cannot be loaded from %s: %s", name, dir.c_str(), kRule);
    return;
  }
  if (!plugin.fnKR_IccP_SetProfile || !plugin.fnKR_IccP_Convert) {
    CupsMessage(err, "WARNING: ", "Colour plug-in %s lacks its entries: %s", name, kRule);
    plugin.Unload();
    return;
  }
  if (!profile || !*profile) return;
  short Option[IccOptionMax] = {};
  void* probe = plugin.fnKR_IccP_SetProfile(profile, Option);
  if (!probe)
    CupsMessage(err, "WARNING: ", "Colour profile %s cannot be read: %s", profile, kRule);
  else if (plugin.fnKR_IccP_Del)
    plugin.fnKR_IccP_Del(probe);
}
