#pragma once
// Writing an image read back from a stream as a JPEG file.
#include <cstdint>
#include <string>

namespace acquisition {

// Stores an image as a JPEG file after checking that both markers are in it.
// 0 when written, -1 after a message (a file that could not be written
// whole is removed: a torn image under the image's name would pass for it).
int WriteJpegFile(const std::string& path, const std::uint8_t* buffer, int count);

}  // namespace acquisition
