// Where the module was loaded from: the sample settings file ships beside it.
#include "core/settings.h"

#ifdef _WIN32
// Reason 1 is the process attach.
extern "C" int __stdcall DllMain(void* instance, unsigned long reason, void* /*reserved*/) {
    if (reason == 1) recordModuleDirectory(instance);
    return 1;
}
#else
namespace {
__attribute__((constructor)) void onModuleLoad() {
    recordModuleDirectory(reinterpret_cast<const void*>(&onModuleLoad));
}
}  // namespace
#endif
