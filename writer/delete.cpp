// Deleting files (DeleteFiles). Placeholder until the writer lands.
#include "writer/writer.h"

int deleteFiles(const char*, const char*) { return 24; }
