#include "dialog/dialog.h"
#include "plugin/log.h"

void configurePacker(void*, void*) { logMessage(kLogTrace, ">ConfigurePacker<\n"); }
