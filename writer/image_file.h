// The image file as PackFiles and DeleteFiles see it: read whole into a
// private ImageInfo, and written back whole without ever damaging it.
#pragma once

#include <cstdint>

#include "core/image_info.h"

// The private record of one PackFiles or DeleteFiles call: a copy of the path,
// the type and the container (as imageTypeOfFile tells them). Null (after
// logging) when memory is exhausted.
std::unique_ptr<ImageInfo> newWorkingImage(const char* path, std::int32_t type, std::int32_t container);

// Reads the existing image file named by info.imageName whole into
// info.imageData. 0, or the result code (11, 14, 15, 18) after logging the
// reason. With `missing`, a file that is not there gives 0 and sets it.
// forWriting: the image will be written back. Its lock (info.writeLock) is
// taken before it is read, so that no other writer changes it meanwhile;
// 19 when another writer holds it for too long.
int readImageFile(ImageInfo& info, bool* missing = nullptr, bool forWriting = false);

// What writeImageFile gives when the image was missing and another program
// has created it since: the caller may begin again with that image.
constexpr int kImageAppeared = -1;

// Writes info.imageData over the image file read for writing, through a
// temporary file in the same folder, and releases its lock. 0, or 19 after
// logging the reason (also when another program changed the image since it
// was read), or kImageAppeared; on failure the file on disk is as it was.
int writeImageFile(const ImageInfo& info);

// Reads an existing disk image named by info.imageName and sets its fixed
// positions; 0 or the result code after logging. An image written to must
// have a known forty-track layout (else 24, with a line naming `caller`);
// forWriting also takes its lock, as readImageFile does.
int loadExistingImage(ImageInfo& info, const char* caller, bool forWriting);
