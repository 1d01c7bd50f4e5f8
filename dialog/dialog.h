// The settings dialog for new images. Placeholder until the dialog lands.
#pragma once

void configurePacker(void* parent, void* dllInstance);
