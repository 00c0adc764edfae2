#pragma once
// Writing an image read back from a stream as a JPEG file.
#include <cstdint>
#include <string>

namespace acquisition {

// Stores an image as a JPEG file after checking that both markers are in it:
// written into a new hidden file beside `path` (".<name>.<thread>-<k>.tmp",
// created exclusively, never through a link) and renamed onto `path`, so
// `path` holds either what it held before or this whole image, and is never
// opened for writing. 0 when written, -1 after a message (the temporary file
// is removed; whatever `path` held stays).
// Threads: any; writers of one name at once each rename a whole file of
// their own, the last rename wins.
int WriteJpegFile(const std::string& path, const std::uint8_t* buffer, int count);

}  // namespace acquisition
